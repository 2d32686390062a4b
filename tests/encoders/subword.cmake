lorvane_add_test(wordpiece_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/wordpiece_test.cpp)
