// kvhost web: a patch as a self-contained static web site that renders and plays it with the
// modules compiled to WebAssembly (the wasm preset's build, host/web).
#pragma once

#include <string>

namespace kvhost {

class Tool;

struct WebOptions {
    std::string patch;     // patch file (JSON), as `render` takes it
    std::string output;    // the site's folder, made if missing
    std::string wasm_dir;  // the WebAssembly build's files (kolvex-web.json lists them)
};

// The folder the wasm preset builds into, compiled in: the default of --wasm-dir.
std::string DefaultWasmDir();

// Writes the site; answers the tool's exit code or throws Failure with it.
int WriteWebSite(const WebOptions& options);

// Adds the "web" subcommand to the kvhost tool.
void AddWebCommand(Tool& tool);

}  // namespace kvhost
