lorvane_add_bench(tokenizer_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/tokenizer_bench.cpp TORCH)
