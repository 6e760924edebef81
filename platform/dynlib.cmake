#Shared libraries are loaded through libdl(part of libc on newer systems).
target_link_libraries(zunt_platform PUBLIC ${CMAKE_DL_LIBS})
