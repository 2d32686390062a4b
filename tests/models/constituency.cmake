lorvane_add_test(constituency_plan_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/constituency/plan_test.cpp
  TORCH)
lorvane_add_test(constituency_parser_test
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/constituency/parser_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/constituency/transformer_test.cpp
  TORCH)
if(LORVANE_WITH_TORCH)
  lorvane_use_transformer_packages(constituency_parser_test)
endif()
