# The hook tests on the stand-in queue manager run the real program, with a start-up script of
# their own, as a child; the console's test runs the README's example.
foreach(exe ${folder_tests})
  if(exe MATCHES "_qm" AND TARGET zunt AND TARGET mqm)
    target_compile_definitions(${exe} PRIVATE ZUNT_PROGRAM="$<TARGET_FILE:zunt>"
                               ZUNT_README="${CMAKE_SOURCE_DIR}/README.md")
    add_dependencies(${exe} zunt)
  endif()
endforeach()
