lorvane_add_bench(lstm_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/lstm_bench.cpp TORCH)
