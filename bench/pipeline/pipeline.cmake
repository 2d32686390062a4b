add_executable(pipeline_bench ${CMAKE_CURRENT_LIST_DIR}/pipeline_bench.cpp)
target_link_libraries(pipeline_bench PRIVATE lorvane_static)
target_compile_definitions(pipeline_bench PRIVATE
  LORVANE_BENCH_PYTHON="${LORVANE_PYTHON}"
  LORVANE_BENCH_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
lorvane_warnings(pipeline_bench)
