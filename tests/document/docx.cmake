lorvane_add_test(tree_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/tree_test.cpp)
lorvane_add_test(coref_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/coref_test.cpp)
lorvane_add_test(conll_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/conll_test.cpp)
