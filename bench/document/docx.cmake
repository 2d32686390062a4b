lorvane_add_bench(conll_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/conll_bench.cpp)
