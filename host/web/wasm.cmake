# The WebAssembly program (see CMakeLists.txt). Everything lands in KV_WEB_DIR: the program,
# the page's files and kolvex-web.json, which lists the site's files and the modules built in
# (ids included, read from the program itself by node).
set(KV_WEB_DIR ${CMAKE_BINARY_DIR}/web)

# The JSON library is header-only: its folder alone, not the system's include folder, whose C
# headers are not emscripten's.
find_path(KV_NLOHMANN_INCLUDE nlohmann/json.hpp PATHS /usr/include NO_DEFAULT_PATH
  NO_CMAKE_FIND_ROOT_PATH REQUIRED)
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/json_include)
file(CREATE_LINK ${KV_NLOHMANN_INCLUDE}/nlohmann ${CMAKE_BINARY_DIR}/json_include/nlohmann
  SYMBOLIC)
add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
target_include_directories(nlohmann_json::nlohmann_json SYSTEM INTERFACE
  ${CMAKE_BINARY_DIR}/json_include)

add_subdirectory(${PROJECT_SOURCE_DIR}/host/core ${CMAKE_BINARY_DIR}/host/core)

# The registry: every module kv_add_plugin made, under its deliverable name.
get_property(kv_targets GLOBAL PROPERTY KV_LINKED_PLUGINS)
get_property(kv_deliverables GLOBAL PROPERTY KV_LINKED_DELIVERABLES)
set(KV_LINKED_DECLARATIONS "")
set(KV_LINKED_CALLS "")
foreach(t d IN ZIP_LISTS kv_targets kv_deliverables)
  string(APPEND KV_LINKED_DECLARATIONS
    "std::remove_pointer_t<KVGetModulePropertiesFn> ${t}_getModuleProperties;\n"
    "std::remove_pointer_t<KVMakeModuleFn> ${t}_makeModule;\n")
  string(APPEND KV_LINKED_CALLS
    "    kvhost::Plugin::Link(\"${d}\", &${t}_getModuleProperties, &${t}_makeModule);\n")
endforeach()
configure_file(src/linked_modules.cpp.in ${CMAKE_CURRENT_BINARY_DIR}/linked_modules.cpp @ONLY)

# The panel's layout code (the pins' controls, the "layout" message) is built in too, so the
# page's cards are the panel's.
add_executable(kolvex src/api.cpp ${CMAKE_CURRENT_BINARY_DIR}/linked_modules.cpp
  ${PROJECT_SOURCE_DIR}/host/panel/src/layout.cpp)
target_include_directories(kolvex PRIVATE ${PROJECT_SOURCE_DIR}/host/panel/include)
target_link_libraries(kolvex PRIVATE kvhost_lib ${kv_targets} nlohmann_json::nlohmann_json)
target_compile_options(kolvex PRIVATE ${KV_WARNINGS})
set_target_properties(kolvex PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${KV_WEB_DIR})
# An ES module exporting createKolvex, loaded by the page and by its audio worklet, which
# hand it the compiled program themselves; C++ exceptions caught (the core reports through
# them); memory grows as patches need.
target_link_options(kolvex PRIVATE
  -fexceptions
  -sMODULARIZE=1 -sEXPORT_ES6=1 -sEXPORT_NAME=createKolvex -sENVIRONMENT=web
  -sALLOW_MEMORY_GROWTH=1 -sFILESYSTEM=0
  -sEXPORTED_FUNCTIONS=_main,_malloc,_free
  -sEXPORTED_RUNTIME_METHODS=ccall,UTF8ToString)

# The page's files, copied beside the program, with the panel's look (panel.css) and the
# panel's own modules for the cards, scopes and spectrum (their transport set by cards.js).
set(kv_page_sources index.html page.css page.js engine.js worklet.js wav.js keys.js cards.js
  spectrum.js)
list(TRANSFORM kv_page_sources PREPEND ${CMAKE_CURRENT_SOURCE_DIR}/page/)
set(kv_panel_modules panel.css controls.js drawing.js pitch.js dom.js state.js connection.js
  learn.js)
list(TRANSFORM kv_panel_modules PREPEND ${PROJECT_SOURCE_DIR}/host/panel/assets/)
list(APPEND kv_page_sources ${kv_panel_modules})
set(kv_page_files "")
set(kv_page_copies "")
foreach(source ${kv_page_sources})
  get_filename_component(f ${source} NAME)
  add_custom_command(OUTPUT ${KV_WEB_DIR}/${f}
    COMMAND ${CMAKE_COMMAND} -E copy ${source} ${KV_WEB_DIR}/${f}
    DEPENDS ${source})
  list(APPEND kv_page_files ${f})
  list(APPEND kv_page_copies ${KV_WEB_DIR}/${f})
endforeach()

# kolvex-web.json: the program asked by node which modules it holds.
find_program(KV_NODE node REQUIRED)
add_custom_command(OUTPUT ${KV_WEB_DIR}/kolvex-web.json
  COMMAND ${KV_NODE} ${CMAKE_CURRENT_SOURCE_DIR}/tools/manifest.mjs ${KV_WEB_DIR}
    ${kv_page_files} kolvex.js kolvex.wasm
  DEPENDS kolvex ${kv_page_copies} ${CMAKE_CURRENT_SOURCE_DIR}/tools/manifest.mjs
  COMMENT "Listing the modules built into kolvex.wasm")
add_custom_target(kolvex_site ALL DEPENDS ${KV_WEB_DIR}/kolvex-web.json)

# The digests of the oscillators' tables (tests/web/table_digest.cpp) as a node program,
# which the web tests compare with the same program built natively. Not part of a site.
add_executable(kolvex_tables ${PROJECT_SOURCE_DIR}/tests/web/table_digest.cpp)
target_include_directories(kolvex_tables PRIVATE ${PROJECT_SOURCE_DIR}/modules/twin_op
  ${PROJECT_SOURCE_DIR}/modules/basic_voice ${PROJECT_SOURCE_DIR}/modules/warpwave)
target_link_libraries(kolvex_tables PRIVATE twin_op basic_voice warpwave)
target_compile_options(kolvex_tables PRIVATE ${KV_WARNINGS})
target_link_options(kolvex_tables PRIVATE -fexceptions -sENVIRONMENT=node
  -sWASM_ASYNC_COMPILATION=0 -sALLOW_MEMORY_GROWTH=1)
set_target_properties(kolvex_tables PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
