lorvane_add_test(models_common_test
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/lstm_runner_test.cpp
  TORCH)
