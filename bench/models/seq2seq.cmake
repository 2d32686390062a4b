lorvane_add_bench(seq2seq_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/seq2seq_bench.cpp TORCH)
