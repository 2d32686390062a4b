lorvane_add_test(seq2seq_plan_test
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/seq2seq/seq2seq_plan_test.cpp
  TORCH)

lorvane_add_test(seq2seq_decode_test
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/seq2seq/seq2seq_decode_test.cpp
  TORCH)
