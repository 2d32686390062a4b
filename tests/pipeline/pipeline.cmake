lorvane_add_test(pipeline_test SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/pipeline_test_support.cpp
  ${CMAKE_CURRENT_LIST_DIR}/processors_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/pipeline_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tokenize_pipeline_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ner_pipeline_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/pos_pipeline_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/constituency_pipeline_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/mwt_pipeline_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/lemma_pipeline_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/depparse_pipeline_test.cpp
  TORCH)
