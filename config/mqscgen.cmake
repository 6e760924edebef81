# The generator of the console's MQSC command table (config/mqsc_tables.cpp, committed). The test
# MqscTablesAreFresh (tests/config/mqsc.cmake) fails when the committed file differs from its
# output; the target regen_mqsc rewrites it in the source tree.
add_executable(zunt_mqscgen ${CMAKE_SOURCE_DIR}/config/gen/mqscgen.cpp)
zunt_warnings(zunt_mqscgen)
add_custom_target(regen_mqsc
  COMMAND zunt_mqscgen ${CMAKE_SOURCE_DIR}
  COMMENT "Regenerating config/mqsc_tables.cpp")
