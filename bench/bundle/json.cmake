lorvane_add_bench(json_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/json_bench.cpp)
