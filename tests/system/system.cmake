# The system tests run the real program as a child and drive it as any MQ application would, so they
# link the stand-in's bindings library for their own MQI calls.
foreach(exe ${folder_tests})
  if(TARGET mqm AND TARGET zunt)
    target_compile_definitions(${exe} PRIVATE ZUNT_PROGRAM="$<TARGET_FILE:zunt>"
                               ZUNT_README="${CMAKE_SOURCE_DIR}/README.md")
    target_link_libraries(${exe} PRIVATE mqm)
    add_dependencies(${exe} zunt)
  endif()
endforeach()
