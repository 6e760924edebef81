# Fuzz targets over a part of the stand-in queue manager compile that part's sources themselves:
# zunt_all does not hold miniqm, and the fuzz build leaves miniqm out. <target>_sources lists them.
set(selector_fuzz_sources ${CMAKE_SOURCE_DIR}/miniqm/selector.cpp)
set(miniqm_chltab_fuzz_sources ${CMAKE_SOURCE_DIR}/miniqm/chltab.cpp)
set(ccdt_file_fuzz_sources ${CMAKE_SOURCE_DIR}/tests/testing/memfile.cpp)
set(ccdt_edit_fuzz_sources ${CMAKE_SOURCE_DIR}/tests/testing/memfile.cpp)
set(miniqm_authrec_fuzz_sources ${CMAKE_SOURCE_DIR}/miniqm/authrec.cpp)
