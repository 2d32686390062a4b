lorvane_add_test(mwt_test
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/mwt/mwt_plan_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/mwt/mwt_document_test.cpp
  TORCH)
