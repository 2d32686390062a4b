# The model directory of the whole default pipeline (one bundle of every kind,
# small dimensions), written once per build directory by
# tests/fixtures/pipeline_model.py and rewritten only when a fixture writer
# changes. Programs that load it call lorvane_use_pipeline_model(<target>),
# which orders the build and defines LORVANE_PIPELINE_MODEL (the directory).
include_guard(GLOBAL)

set(LORVANE_PIPELINE_MODEL_DIR "${PROJECT_BINARY_DIR}/fixtures/pipeline-model" CACHE INTERNAL
  "Model directory of the whole default pipeline for the tests")
file(GLOB _pipeline_model_writers CONFIGURE_DEPENDS "${PROJECT_SOURCE_DIR}/tests/fixtures/*.py")
add_custom_command(
  OUTPUT "${LORVANE_PIPELINE_MODEL_DIR}/stamp"
  COMMAND "${CMAKE_COMMAND}" -E rm -rf "${LORVANE_PIPELINE_MODEL_DIR}"
  COMMAND "${LORVANE_PYTHON}" "${PROJECT_SOURCE_DIR}/tests/fixtures/pipeline_model.py" "${LORVANE_PIPELINE_MODEL_DIR}"
  COMMAND "${CMAKE_COMMAND}" -E touch "${LORVANE_PIPELINE_MODEL_DIR}/stamp"
  DEPENDS ${_pipeline_model_writers}
  COMMENT "Writing the pipeline test model directory"
  VERBATIM)
add_custom_target(lorvane_pipeline_model ALL DEPENDS "${LORVANE_PIPELINE_MODEL_DIR}/stamp")

function(lorvane_use_pipeline_model target)
  add_dependencies(${target} lorvane_pipeline_model)
  target_compile_definitions(${target} PRIVATE LORVANE_PIPELINE_MODEL="${LORVANE_PIPELINE_MODEL_DIR}")
endfunction()
