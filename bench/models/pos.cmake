lorvane_add_bench(pos_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/pos_bench.cpp TORCH)
