# The tests that run the program itself on the stand-in.
foreach(exe test_stats_aggr_zunt_qm_test test_stats_aggr_zunt_long_qm_test)
  if(TARGET ${exe} AND TARGET zunt)
    # Under wine the program is named by its path on drive Z: (the Unix file system).
    if(CMAKE_CROSSCOMPILING)
      target_compile_definitions(${exe} PRIVATE ZUNT_PROGRAM="Z:$<TARGET_FILE:zunt>")
    else()
      target_compile_definitions(${exe} PRIVATE ZUNT_PROGRAM="$<TARGET_FILE:zunt>")
    endif()
    add_dependencies(${exe} zunt)
  endif()
endforeach()
