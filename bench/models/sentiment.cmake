lorvane_add_bench(sentiment_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/sentiment_bench.cpp TORCH)
