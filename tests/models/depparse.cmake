lorvane_add_test(depparse_decoding_test
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/depparse_decoding_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/depparse_reference_decoding.cpp
  TORCH)
lorvane_add_test(depparse_scoring_test
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/depparse_scoring_test.cpp
  TORCH)
lorvane_add_test(depparse_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/depparse_test.cpp TORCH)
if(LORVANE_WITH_TORCH)
  lorvane_use_transformer_packages(depparse_test)
endif()
