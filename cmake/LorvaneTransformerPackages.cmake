# The compiled transformer packages of the tests and benchmarks. Compiling a
# package takes tens of seconds, so they are built once per build directory,
# by the build (target lorvane_transformer_packages), and rebuilt only when
# their generator changes. Programs that run them call
# lorvane_use_transformer_packages(<target>), which orders the build and
# defines LORVANE_TRANSFORMER_PACKAGES (the directory) for the program.
include_guard(GLOBAL)

set(LORVANE_TRANSFORMER_PACKAGES_DIR "${PROJECT_BINARY_DIR}/fixtures/transformer" CACHE INTERNAL
  "Compiled transformer packages of the tests and benchmarks")
set(_generator "${PROJECT_SOURCE_DIR}/tests/fixtures/transformer_packages.py")
add_custom_command(
  OUTPUT "${LORVANE_TRANSFORMER_PACKAGES_DIR}/stamp"
  COMMAND "${LORVANE_PYTHON}" "${_generator}" "${LORVANE_TRANSFORMER_PACKAGES_DIR}"
  DEPENDS "${_generator}"
  COMMENT "Compiling the transformer test packages"
  VERBATIM)
add_custom_target(lorvane_transformer_packages ALL
  DEPENDS "${LORVANE_TRANSFORMER_PACKAGES_DIR}/stamp")

function(lorvane_use_transformer_packages target)
  add_dependencies(${target} lorvane_transformer_packages)
  target_compile_definitions(${target} PRIVATE
    LORVANE_TRANSFORMER_PACKAGES="${LORVANE_TRANSFORMER_PACKAGES_DIR}")
endfunction()
