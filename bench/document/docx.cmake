add_executable(conll_bench ${CMAKE_CURRENT_LIST_DIR}/conll_bench.cpp)
target_link_libraries(conll_bench PRIVATE lorvane_core)
target_compile_definitions(conll_bench PRIVATE LORVANE_BENCH_PYTHON="${LORVANE_PYTHON}")
lorvane_warnings(conll_bench)
