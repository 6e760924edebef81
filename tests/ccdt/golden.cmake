# The channel-record tests compare with the images in tests/ccdt/golden, which must be what
# scripts/gen_ccdt_golden.py lays out.
target_compile_definitions(test_ccdt_channel_test PRIVATE ZUNT_CCDT_GOLDEN="${CMAKE_CURRENT_SOURCE_DIR}/ccdt/golden")
find_package(Python3 COMPONENTS Interpreter QUIET)
if(Python3_Interpreter_FOUND)
  add_test(NAME CcdtGoldenImagesAreFresh COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/scripts/gen_ccdt_golden.py --check)
  set_tests_properties(CcdtGoldenImagesAreFresh PROPERTIES LABELS ccdt)
endif()
