# The committed code-page tables must be what scripts/gen_convert_tables.py makes of Python's codecs.
find_package(Python3 COMPONENTS Interpreter QUIET)
if(Python3_Interpreter_FOUND)
  add_test(NAME ConvertTablesAreFresh
           COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/scripts/gen_convert_tables.py --check)
  set_tests_properties(ConvertTablesAreFresh PROPERTIES LABELS miniqm)
endif()
