lorvane_add_bench(unicode_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/unicode_bench.cpp)
