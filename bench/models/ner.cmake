lorvane_add_bench(ner_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/ner_bench.cpp TORCH)
