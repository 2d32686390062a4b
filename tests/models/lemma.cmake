lorvane_add_test(lemma_test
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/lemma/lemma_test.cpp
  TORCH)
