# Warnings for our own targets only; third-party headers come in as system includes.
function(lorvane_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
endfunction()
