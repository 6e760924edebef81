# Without libFuzzer the seed corpora of the PCF and compressed-record fuzz targets still run: each
# target is linked with a small driver that hands it every file of its corpus once.
set(mqi_replayed_fuzz_targets pcf_parse_fuzz cf_read_fuzz cf_compress_fuzz)
foreach(target ${mqi_replayed_fuzz_targets})
  set(src ${CMAKE_SOURCE_DIR}/tests/fuzz/${target}.cpp)
  set(corpus ${CMAKE_SOURCE_DIR}/tests/fuzz/corpus/${target})
  if(EXISTS ${src} AND EXISTS ${corpus})
    add_executable(replay_${target} ${src} ${CMAKE_SOURCE_DIR}/tests/fuzz/replay_main.cpp)
    target_link_libraries(replay_${target} PRIVATE zunt_all)
    zunt_warnings(replay_${target})
    add_test(NAME fuzz_replay.${target} COMMAND replay_${target} ${corpus})
    set_tests_properties(fuzz_replay.${target} PROPERTIES LABELS "mqi;fuzz-replay" TIMEOUT 300)
  endif()
endforeach()
