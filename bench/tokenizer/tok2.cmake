add_executable(tokenizer_bench ${CMAKE_CURRENT_LIST_DIR}/tokenizer_bench.cpp)
target_link_libraries(tokenizer_bench PRIVATE lorvane_static)
target_compile_definitions(tokenizer_bench PRIVATE
  LORVANE_BENCH_PYTHON="${LORVANE_PYTHON}"
  LORVANE_BENCH_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
lorvane_warnings(tokenizer_bench)
