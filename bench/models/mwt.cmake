lorvane_add_bench(mwt_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/mwt_bench.cpp TORCH)
