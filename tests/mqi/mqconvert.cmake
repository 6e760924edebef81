# The conversion test that binds the stand-in queue manager's library at run time.
if(TARGET test_mqi_mqconvert_qm_test)
  if(TARGET mqm)
    target_compile_definitions(test_mqi_mqconvert_qm_test PRIVATE
      MINIQM_TOOL="$<TARGET_FILE:miniqm>" MINIQM_MQM_LIBRARY="$<TARGET_FILE:mqm>")
    add_dependencies(test_mqi_mqconvert_qm_test miniqm miniqmd mqm)
  else()
    set_target_properties(test_mqi_mqconvert_qm_test PROPERTIES EXCLUDE_FROM_ALL ON)
  endif()
endif()
