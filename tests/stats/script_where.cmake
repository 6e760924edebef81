# The displays' filters with the script interpreter installed, as the program installs it.
if(TARGET test_stats_script_where_test)
  target_link_libraries(test_stats_script_where_test PRIVATE zunt_script)
endif()
