lorvane_add_bench(document_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/document_bench.cpp)
