# The platform layer calls the OS: threads for the locks and the worker pool, dl for loading the
# MQ library.
target_link_libraries(zunt_platform PUBLIC Threads::Threads ${CMAKE_DL_LIBS})
