lorvane_add_bench(pipeline_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/pipeline_bench.cpp TORCH)
