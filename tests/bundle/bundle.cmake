lorvane_add_test(bundle_test SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/bundle_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/bundle_sha256_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/bundle_index_test.cpp)
lorvane_add_test(bundle_mutation_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/bundle_mutation_test.cpp)
