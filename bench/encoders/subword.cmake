lorvane_add_bench(subword_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/subword_bench.cpp)
