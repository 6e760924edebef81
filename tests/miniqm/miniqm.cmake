# The miniqm tests: most drive a real miniqmd through the tool and the MQI library (bindings;
# the client_* and ccdt_* tests use libmqic), some use the queue manager's internals directly.
add_executable(miniqm_exit_app ${CMAKE_CURRENT_LIST_DIR}/exit_app.cpp)
target_link_libraries(miniqm_exit_app PRIVATE mqm)
target_include_directories(miniqm_exit_app PRIVATE ${CMAKE_SOURCE_DIR})
zunt_warnings(miniqm_exit_app)
add_executable(miniqm_service_app ${CMAKE_CURRENT_LIST_DIR}/service_app.cpp)
target_link_libraries(miniqm_service_app PRIVATE mqm)
target_include_directories(miniqm_service_app PRIVATE ${CMAKE_SOURCE_DIR})
zunt_warnings(miniqm_service_app)

foreach(exe ${folder_tests})
  target_compile_definitions(${exe} PRIVATE
    MINIQM_TOOL="$<TARGET_FILE:miniqm>" MINIQM_EXIT_APP="$<TARGET_FILE:miniqm_exit_app>"
    MINIQM_SERVICE_APP="$<TARGET_FILE:miniqm_service_app>")
  add_dependencies(${exe} miniqm miniqmd miniqm_exit_app miniqm_service_app)
  if(exe MATCHES "client|ccdt")
    target_link_libraries(${exe} PRIVATE mqic miniqm_core)
  else()
    target_link_libraries(${exe} PRIVATE mqm miniqm_core)
  endif()
  # Replies and events are read with the system's own PCF parser.
  target_link_libraries(${exe} PRIVATE zunt_mqi)
endforeach()

# Tests that read what the queue manager writes with the system's own PCF parser and classifier.
foreach(exe test_miniqm_events_qm_test test_miniqm_stats_qm_test test_miniqm_client_qm_test)
  if(TARGET ${exe})
    target_link_libraries(${exe} PRIVATE zunt_mqi)
  endif()
endforeach()

# The table written by the system's channel-table layer and read by the client library.
if(TARGET test_miniqm_ccdt_roundtrip_qm_test)
  target_link_libraries(test_miniqm_ccdt_roundtrip_qm_test PRIVATE zunt_ccdt)
endif()
