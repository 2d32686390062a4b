lorvane_add_test(tagging_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/tagging_test.cpp TORCH)
