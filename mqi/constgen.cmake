# The generator of the constant and event tables (mqi/consts_tables.cpp and .h, mqi/evclass_tables.cpp;
# all committed). The test ConstTablesAreFresh (tests/mqi/consts.cmake) fails when the committed files
# differ from its output; the target regen_consts rewrites them in the source tree.
add_executable(zunt_constgen ${CMAKE_SOURCE_DIR}/mqi/gen/constgen.cpp)
zunt_warnings(zunt_constgen)
add_custom_target(regen_consts
  COMMAND zunt_constgen ${CMAKE_SOURCE_DIR}/mqi/data ${CMAKE_SOURCE_DIR}/mqi
  COMMENT "Regenerating mqi/consts_tables.cpp, mqi/consts_tables.h and mqi/evclass_tables.cpp")
