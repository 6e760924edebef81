# The help texts are compared with tests/console/golden, laid out by hand after the help rule.
target_compile_definitions(test_console_local_test PRIVATE ZUNT_CONSOLE_GOLDEN="${CMAKE_CURRENT_SOURCE_DIR}/console/golden")
