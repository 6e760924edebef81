# The committed constant tables must be what mqi/gen/constgen.cpp makes of mqi/data/.
if(TARGET zunt_constgen)
  add_test(NAME ConstTablesAreFresh
    COMMAND zunt_constgen --check ${CMAKE_SOURCE_DIR}/mqi/data ${CMAKE_SOURCE_DIR}/mqi)
  set_tests_properties(ConstTablesAreFresh PROPERTIES LABELS mqi)
endif()
