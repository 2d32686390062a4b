lorvane_add_bench(constituency_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/constituency_bench.cpp TORCH)
