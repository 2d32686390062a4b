lorvane_add_bench(subword_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/subword_bench.cpp)
# The byte-level BPE trainer of the tests makes the benchmark's merges.
target_include_directories(subword_bench PRIVATE ${PROJECT_SOURCE_DIR}/tests)
