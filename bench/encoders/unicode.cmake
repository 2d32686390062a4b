add_executable(unicode_bench ${CMAKE_CURRENT_LIST_DIR}/unicode_bench.cpp)
target_link_libraries(unicode_bench PRIVATE lorvane_core)
lorvane_warnings(unicode_bench)
