lorvane_add_test(smoke_icu_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/icu_smoke_test.cpp)
if(LORVANE_WITH_TORCH)
  lorvane_add_test(smoke_torch_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/torch_smoke_test.cpp TORCH)
endif()
