lorvane_add_test(pos_test
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/pos_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/pos_transformer_test.cpp
  TORCH)
if(LORVANE_WITH_TORCH)
  lorvane_use_transformer_packages(pos_test)
endif()
