lorvane_add_bench(lemma_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/lemma_bench.cpp TORCH)
