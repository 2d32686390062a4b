# libtorch comes from the PyTorch wheel in the project's virtual environment.
set(LORVANE_PYTHON "" CACHE FILEPATH "Python interpreter of the venv that holds torch")
if(NOT LORVANE_PYTHON)
  if(EXISTS "${CMAKE_SOURCE_DIR}/.venv/bin/python")
    set(LORVANE_PYTHON "${CMAKE_SOURCE_DIR}/.venv/bin/python")
  else()
    find_program(LORVANE_PYTHON python3 REQUIRED)
  endif()
endif()
execute_process(
  COMMAND "${LORVANE_PYTHON}" -c "import torch.utils; print(torch.utils.cmake_prefix_path)"
  OUTPUT_VARIABLE LORVANE_TORCH_PREFIX OUTPUT_STRIP_TRAILING_WHITESPACE
  RESULT_VARIABLE LORVANE_TORCH_RESULT)
if(NOT LORVANE_TORCH_RESULT EQUAL 0)
  message(FATAL_ERROR "torch is not importable from ${LORVANE_PYTHON}; run scripts/bootstrap")
endif()
list(APPEND CMAKE_PREFIX_PATH "${LORVANE_TORCH_PREFIX}")
find_package(Torch REQUIRED)
# The imported torch targets carry their include directories; mark them as system
# includes so that our warning flags do not apply to libtorch's headers.
get_target_property(_torch_inc torch INTERFACE_INCLUDE_DIRECTORIES)
if(_torch_inc)
  set_target_properties(torch PROPERTIES INTERFACE_SYSTEM_INCLUDE_DIRECTORIES "${_torch_inc}")
endif()
