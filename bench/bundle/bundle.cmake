lorvane_add_bench(bundle_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/bundle_bench.cpp)
