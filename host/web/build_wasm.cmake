# Builds the wasm preset from another build (cmake -DSOURCE=<checkout> -P build_wasm.cmake):
# configured once, then built as the preset builds it.
if(NOT EXISTS ${SOURCE}/build/wasm/CMakeCache.txt)
  execute_process(COMMAND ${CMAKE_COMMAND} --preset wasm WORKING_DIRECTORY ${SOURCE}
    OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build --preset wasm WORKING_DIRECTORY ${SOURCE}
  COMMAND_ERROR_IS_FATAL ANY)
