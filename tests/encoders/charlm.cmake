lorvane_add_test(charlm_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/charlm_test.cpp TORCH)
