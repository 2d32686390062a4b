lorvane_add_bench(charlm_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/charlm_bench.cpp TORCH)
