# The folders of src/ as layers: every include points down or sideways.
add_test(NAME include_layers_test
  COMMAND "${LORVANE_TEST_PYTHON}" "${CMAKE_CURRENT_LIST_DIR}/include_layers_test.py" "${PROJECT_SOURCE_DIR}")
set_tests_properties(include_layers_test PROPERTIES LABELS core)
