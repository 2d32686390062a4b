lorvane_add_test(tokenizer_conformance_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/conformance_test.cpp TORCH)
