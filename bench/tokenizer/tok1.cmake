lorvane_add_bench(features_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/features_bench.cpp)
