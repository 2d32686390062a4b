lorvane_add_test(pos_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/pos_test.cpp TORCH)
