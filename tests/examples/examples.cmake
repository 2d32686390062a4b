# The example program and scripts/demo as a user meets them: exit status,
# standard output and standard error (the examples need libtorch).
if(LORVANE_WITH_TORCH AND LORVANE_BUILD_EXAMPLES)
  include(${PROJECT_SOURCE_DIR}/cmake/LorvanePipelineModel.cmake)
  add_test(NAME demo_command_line_test
    COMMAND "${LORVANE_TEST_PYTHON}" "${CMAKE_CURRENT_LIST_DIR}/demo_command_line_test.py"
            "$<TARGET_FILE:pipeline_demo>" "${LORVANE_PIPELINE_MODEL_DIR}" "${PROJECT_BINARY_DIR}")
  set_tests_properties(demo_command_line_test PROPERTIES LABELS torch TIMEOUT 600
    ENVIRONMENT "OMP_NUM_THREADS=1;MKL_NUM_THREADS=1")
endif()
