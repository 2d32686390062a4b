add_executable(patterns_bench ${CMAKE_CURRENT_LIST_DIR}/patterns_bench.cpp)
target_link_libraries(patterns_bench PRIVATE lorvane_core)
lorvane_warnings(patterns_bench)
