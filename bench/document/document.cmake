add_executable(document_bench ${CMAKE_CURRENT_LIST_DIR}/document_bench.cpp)
target_link_libraries(document_bench PRIVATE lorvane_core)
lorvane_warnings(document_bench)
