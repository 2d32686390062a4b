add_executable(bundle_bench ${CMAKE_CURRENT_LIST_DIR}/bundle_bench.cpp)
target_link_libraries(bundle_bench PRIVATE lorvane_core)
target_compile_definitions(bundle_bench PRIVATE
  LORVANE_BENCH_PYTHON="${LORVANE_PYTHON}"
  LORVANE_BENCH_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
lorvane_warnings(bundle_bench)
