lorvane_add_test(ner_test
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/ner/ner_plan_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ner/ner_tagging_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/../pipeline/pipeline_test_support.cpp
  TORCH)
