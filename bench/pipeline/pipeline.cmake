lorvane_add_bench(pipeline_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/pipeline_bench.cpp TORCH)
lorvane_add_bench(full_pipeline_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/full_pipeline_bench.cpp TORCH)
