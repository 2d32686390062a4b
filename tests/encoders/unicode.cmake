lorvane_add_test(unicode_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/unicode_test.cpp)
