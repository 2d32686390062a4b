lorvane_add_test(text_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/text_test.cpp)
