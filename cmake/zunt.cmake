# Helpers that give every subsystem the same shape: one library zunt_<folder> built from the
# folder's sources, public header <folder>/<folder>.h, dependencies only on earlier subsystems.

# Sanitizer flags apply to everything built, tests and miniqm included.
if(ZUNT_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(ZUNT_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(ZUNT_SANITIZE)
  message(FATAL_ERROR "ZUNT_SANITIZE must be address, thread or empty")
endif()

# Fuzz builds instrument every library for coverage; the fuzz targets add the libFuzzer driver.
if(ZUNT_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()

find_package(Threads REQUIRED)

# mingw-w64's C library declares POSIX's reentrant localtime_r and gmtime_r (over localtime_s and
# gmtime_s) only when asked.
if(WIN32)
  add_compile_definitions(_POSIX_THREAD_SAFE_FUNCTIONS=200112L)
endif()

# Warnings for the project's own code; errors where ZUNT_WERROR is on (the presets and CI), so that
# a plain build with another compiler's new warnings still builds.
option(ZUNT_WERROR "Treat warnings in the project's own code as errors" OFF)
function(zunt_warnings target)
  if(ZUNT_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wshadow -Wnon-virtual-dtor -Wcast-align -Wunused -Woverloaded-virtual
    -Wnull-dereference -Wdouble-promotion -Wformat=2 -Wimplicit-fallthrough -Wmissing-declarations
    $<$<COMPILE_LANGUAGE:CXX>:-Wold-style-cast -Wuseless-cast>)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    target_compile_options(${target} PRIVATE -Wno-unknown-warning-option)
  endif()
  if(WIN32)
    # A cast that Linux needs (long is 64-bit there) is one Windows' 32-bit long makes useless.
    target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:CXX>:-Wno-useless-cast>)
  endif()
endfunction()

# Everything linked together, for the program and for tests that need the whole system.
add_library(zunt_all INTERFACE)

# zunt_subsystem(<folder> [DEPS <folder>...])
# Builds zunt_<folder> from <folder>/*.cpp (main.cpp excluded) once the folder has code.
# A folder may add to its target in <folder>/*.cmake (generated sources, extra libraries).
function(zunt_subsystem name)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  set(dir ${CMAKE_SOURCE_DIR}/${name})
  file(GLOB sources CONFIGURE_DEPENDS ${dir}/*.cpp ${dir}/*.c)
  list(FILTER sources EXCLUDE REGEX "/main\\.cpp$")
  if(NOT sources)
    return()
  endif()
  add_library(zunt_${name} STATIC ${sources})
  target_include_directories(zunt_${name} PUBLIC ${CMAKE_SOURCE_DIR})
  foreach(dep ${ARG_DEPS})
    if(TARGET zunt_${dep})
      target_link_libraries(zunt_${name} PUBLIC zunt_${dep})
    endif()
  endforeach()
  zunt_warnings(zunt_${name})
  target_link_libraries(zunt_all INTERFACE zunt_${name})
  file(GLOB extras CONFIGURE_DEPENDS ${dir}/*.cmake)
  foreach(extra ${extras})
    include(${extra})
  endforeach()
endfunction()
