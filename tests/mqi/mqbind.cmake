# Stand-ins for the MQ library, built as loadable modules (no soname, like a plug-in) into folders
# of their own under fakemq/, for the binding tests to load by folder, by path or by name.
set(ZUNT_FAKEMQ_DIR ${CMAKE_CURRENT_BINARY_DIR}/fakemq)

function(zunt_fakemq target folder output id)
  add_library(${target} MODULE ${CMAKE_CURRENT_SOURCE_DIR}/mqi/fakemq.cpp)
  target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR})
  target_compile_definitions(${target} PRIVATE FAKEMQ_ID=${id} ${ARGN})
  set_target_properties(${target} PROPERTIES PREFIX "lib" OUTPUT_NAME ${output}
                        LIBRARY_OUTPUT_DIRECTORY ${ZUNT_FAKEMQ_DIR}/${folder})
  zunt_warnings(${target})
  foreach(test test_mqi_mqbind_test test_mqi_mqbind_mt_test)
    if(TARGET ${test})
      add_dependencies(${test} ${target})
    endif()
  endforeach()
endfunction()

zunt_fakemq(fakemq_server server mqm 101)
zunt_fakemq(fakemq_client client mqic 102)
zunt_fakemq(fakemq_installation installation/lib64 mqm 103)
zunt_fakemq(fakemq_r_name r_name mqm_r 104)
zunt_fakemq(fakemq_no_async no_async mqm 105 FAKEMQ_NO_ASYNC)
zunt_fakemq(fakemq_no_close no_close mqm 106 FAKEMQ_NO_CLOSE)
zunt_fakemq(fakemq_no_open no_open mqm 107 FAKEMQ_NO_OPEN)

foreach(test test_mqi_mqbind_test test_mqi_mqbind_mt_test)
  if(TARGET ${test})
    target_compile_definitions(${test} PRIVATE FAKEMQ_DIR="${ZUNT_FAKEMQ_DIR}")
  endif()
endforeach()
