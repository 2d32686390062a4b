lorvane_add_test(units_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/units_test.cpp)
lorvane_add_test(features_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/features_test.cpp)
lorvane_add_test(tokenizer_plan_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/tokenizer_plan_test.cpp TORCH)
