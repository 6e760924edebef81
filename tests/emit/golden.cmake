# The golden texts of the emitter formats.
foreach(exe test_emit_format_test)
  if(TARGET ${exe})
    target_compile_definitions(${exe} PRIVATE ZUNT_EMIT_GOLDEN="${CMAKE_CURRENT_SOURCE_DIR}/emit/golden")
  endif()
endforeach()
