# The committed MQSC command table must be what config/gen/mqscgen.cpp makes of its data.
if(TARGET zunt_mqscgen)
  add_test(NAME MqscTablesAreFresh COMMAND zunt_mqscgen --check ${CMAKE_SOURCE_DIR})
  set_tests_properties(MqscTablesAreFresh PROPERTIES LABELS config)
endif()
