lorvane_add_bench(depparse_scoring_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/depparse_scoring_bench.cpp TORCH)
lorvane_add_bench(depparse_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/depparse_bench.cpp TORCH)
# The straightforward decoder it is compared with is the tests' reference.
lorvane_add_bench(depparse_decoder_bench
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/depparse_decoder_bench.cpp
    ${PROJECT_SOURCE_DIR}/tests/models/depparse_reference_decoding.cpp
  TORCH)
if(TARGET depparse_decoder_bench)
  target_include_directories(depparse_decoder_bench PRIVATE ${PROJECT_SOURCE_DIR}/tests)
endif()
