# Without libFuzzer the seed corpus of the expression fuzz target still runs: the target is linked
# with the small replay driver that hands it every file of its corpus once.
set(src ${CMAKE_SOURCE_DIR}/tests/fuzz/expr_fuzz.cpp)
set(corpus ${CMAKE_SOURCE_DIR}/tests/fuzz/corpus/expr_fuzz)
if(EXISTS ${src} AND EXISTS ${corpus})
  add_executable(replay_expr_fuzz ${src} ${CMAKE_SOURCE_DIR}/tests/fuzz/replay_main.cpp)
  target_link_libraries(replay_expr_fuzz PRIVATE zunt_all)
  zunt_warnings(replay_expr_fuzz)
  add_test(NAME fuzz_replay.expr_fuzz COMMAND replay_expr_fuzz ${corpus})
  set_tests_properties(fuzz_replay.expr_fuzz PROPERTIES LABELS "expr;fuzz-replay" TIMEOUT 300)
endif()
