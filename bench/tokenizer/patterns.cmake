lorvane_add_bench(patterns_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/patterns_bench.cpp)
# The pattern list is shared with the tests (tests/tokenizer/tokenizer_text_support.hpp).
target_include_directories(patterns_bench PRIVATE ${PROJECT_SOURCE_DIR}/tests)
