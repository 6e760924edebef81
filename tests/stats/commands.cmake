# The statistics commands with the script interpreter installed, as the program installs it.
if(TARGET test_stats_commands_test)
  target_link_libraries(test_stats_commands_test PRIVATE zunt_script)
endif()
