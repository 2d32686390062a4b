lorvane_add_bench(features_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/features_bench.cpp)
# The feature settings are shared with the tests (tests/tokenizer/tokenizer_text_support.hpp).
target_include_directories(features_bench PRIVATE ${PROJECT_SOURCE_DIR}/tests)
