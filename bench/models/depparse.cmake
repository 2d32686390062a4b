lorvane_add_bench(depparse_scoring_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/depparse_scoring_bench.cpp TORCH)
lorvane_add_bench(depparse_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/depparse_bench.cpp TORCH)
