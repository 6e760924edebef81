# The platform layer calls the OS: threads for the locks and the worker pool, dl for loading the
# MQ library.
target_link_libraries(zunt_platform PUBLIC Threads::Threads ${CMAKE_DL_LIBS})

# Windows: a file <name>_win.cpp is the Windows side of <name>.cpp and takes its place; on Linux
# the _win files are left out.
get_target_property(platform_sources zunt_platform SOURCES)
if(WIN32)
  foreach(src ${platform_sources})
    if(src MATCHES "_win\\.cpp$")
      string(REGEX REPLACE "_win\\.cpp$" ".cpp" linux_side ${src})
      list(REMOVE_ITEM platform_sources ${linux_side})
    endif()
  endforeach()
  # Sockets, the user name and the console's code pages.
  target_link_libraries(zunt_platform PUBLIC ws2_32 advapi32)
else()
  list(FILTER platform_sources EXCLUDE REGEX "_win\\.cpp$")
endif()
set_property(TARGET zunt_platform PROPERTY SOURCES ${platform_sources})
