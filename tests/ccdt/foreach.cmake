# The script's foreach over the edit mode's DISPLAY runs the script itself.
if(TARGET test_ccdt_foreach_test)
  target_link_libraries(test_ccdt_foreach_test PRIVATE zunt_script)
endif()
