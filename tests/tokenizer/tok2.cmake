lorvane_add_test(tokenizer_inference_test
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/tokenizer_network_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tokenizer_document_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tokenizer_entry_test.cpp
  TORCH)
