add_executable(json_bench ${CMAKE_CURRENT_LIST_DIR}/json_bench.cpp)
target_link_libraries(json_bench PRIVATE lorvane_core)
target_compile_definitions(json_bench PRIVATE LORVANE_BENCH_PYTHON="${LORVANE_PYTHON}")
lorvane_warnings(json_bench)
