# The committed MQI headers must be what scripts/gen_cmqc.py makes of mqi/data/.
find_package(Python3 COMPONENTS Interpreter QUIET)
if(Python3_Interpreter_FOUND)
  add_test(NAME CmqcHeadersAreFresh COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/scripts/gen_cmqc.py --check)
  set_tests_properties(CmqcHeadersAreFresh PROPERTIES LABELS mqi)
endif()
