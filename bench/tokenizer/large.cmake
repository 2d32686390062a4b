lorvane_add_bench(large_text_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/large_text_bench.cpp TORCH)
