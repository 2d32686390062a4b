lorvane_add_bench(transformer_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/transformer_bench.cpp TORCH)
if(LORVANE_WITH_TORCH)
  lorvane_use_transformer_packages(transformer_bench)
endif()
