# Without libFuzzer the seed corpora of the stream storage fuzz targets still run as tests (the
# driver tests/fuzz/replay_main.cpp hands each corpus file to the target once).
foreach(target blob_read_fuzz stream_split_fuzz)
  set(src ${CMAKE_SOURCE_DIR}/tests/fuzz/${target}.cpp)
  set(corpus ${CMAKE_SOURCE_DIR}/tests/fuzz/corpus/${target})
  if(EXISTS ${src} AND EXISTS ${corpus})
    add_executable(replay_${target} ${src} ${CMAKE_SOURCE_DIR}/tests/fuzz/replay_main.cpp)
    target_link_libraries(replay_${target} PRIVATE zunt_all)
    zunt_warnings(replay_${target})
    add_test(NAME fuzz_replay.${target} COMMAND replay_${target} ${corpus})
    set_tests_properties(fuzz_replay.${target} PROPERTIES LABELS "streams;fuzz-replay" TIMEOUT 300)
  endif()
endforeach()
