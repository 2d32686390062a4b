lorvane_add_test(model_mutation_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/model_mutation_test.cpp TORCH)
lorvane_add_test(load_checks_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/load_checks_test.cpp TORCH)
