lorvane_add_test(tree_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/tree_test.cpp)
