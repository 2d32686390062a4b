lorvane_add_test(patterns_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/patterns_test.cpp)
