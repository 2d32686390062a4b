lorvane_add_test(model_mutation_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/model_mutation_test.cpp TORCH)
