# The engine tests on a private stand-in queue manager bind its libmqm at run time, as the system
# binds IBM MQ's library.
foreach(exe ${folder_tests})
  if(exe MATCHES "_qm_")
    if(TARGET mqm)
      target_compile_definitions(${exe} PRIVATE
        MINIQM_TOOL="$<TARGET_FILE:miniqm>" MINIQM_MQM_LIBRARY="$<TARGET_FILE:mqm>")
      add_dependencies(${exe} miniqm miniqmd mqm)
    else()
      set_target_properties(${exe} PROPERTIES EXCLUDE_FROM_ALL ON)
    endif()
  endif()
endforeach()
