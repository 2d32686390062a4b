add_executable(features_bench ${CMAKE_CURRENT_LIST_DIR}/features_bench.cpp)
target_link_libraries(features_bench PRIVATE lorvane_core)
lorvane_warnings(features_bench)
