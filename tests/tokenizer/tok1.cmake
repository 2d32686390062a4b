lorvane_add_test(units_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/units_test.cpp)
