# kv_add_plugin(<target> OUTPUT <deliverable name> [REVISION 2230|2120] SOURCES ...)
# Builds one deliverable: a shared library named exactly as the deliverable, in
# KV_PLUGIN_DIR, linking the frame of the chosen revision and exporting only
# getModuleProperties and makeModule (in the WebAssembly build: a static library whose entry
# points carry the target's name).
function(kv_add_plugin target)
  cmake_parse_arguments(ARG "" "OUTPUT;REVISION" "SOURCES" ${ARGN})
  if(NOT ARG_REVISION)
    set(ARG_REVISION 2230)
  endif()
  if(EMSCRIPTEN)
    # The WebAssembly build links every module into one program (host/web): a static library
    # with its own copy of the frame, its names set apart by KV_LINKED_MODULE (KVLinkage.h).
    add_library(${target} STATIC ${ARG_SOURCES} ${KV_FRAME_SOURCES})
    target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/kv_sdk2)
    target_compile_definitions(${target} PRIVATE
      KV_FRAME_REVISION=${ARG_REVISION} KV_LINKED_MODULE=${target})
    target_compile_options(${target} PRIVATE ${KV_WARNINGS})
    set_property(GLOBAL APPEND PROPERTY KV_LINKED_PLUGINS ${target})
    set_property(GLOBAL APPEND PROPERTY KV_LINKED_DELIVERABLES "${ARG_OUTPUT}")
    return()
  endif()
  add_library(${target} MODULE ${ARG_SOURCES})
  target_link_libraries(${target} PRIVATE kv_frame_${ARG_REVISION})
  target_compile_options(${target} PRIVATE ${KV_WARNINGS})
  set_target_properties(${target} PROPERTIES
    PREFIX ""
    SUFFIX ".so"
    OUTPUT_NAME "${ARG_OUTPUT}"
    LIBRARY_OUTPUT_DIRECTORY ${KV_PLUGIN_DIR}
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
  target_link_options(${target} PRIVATE
    -Wl,--version-script=${PROJECT_SOURCE_DIR}/kv_sdk2/exports.map -Wl,--no-undefined)
  set_property(GLOBAL APPEND PROPERTY KV_PLUGINS ${target})
endfunction()
