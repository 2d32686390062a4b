lorvane_add_test(document_test SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/document_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/document_build_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/entities_test.cpp)
