// panel_fake_engine: the panel of FakeEngine, for the browser test of the keyboard, the scopes
// and the spectrum (`--panel PORT` as kvhost takes it; Ctrl-C stops). The notes and panics the
// model gets are printed, a line each.
#include <CLI/CLI.hpp>

#include "fake_engine.h"

int main(int argc, char** argv) {
    CLI::App app("the panel of a fake playing patch");
    kvhost::PanelOptions options;
    kvhost::AddPanelOptions(app, options);
    CLI11_PARSE(app, argc, argv);
    kvpanel_test::FakeEngine engine;
    engine.Log(stdout);
    return kvhost::ServePanel(engine, options);
}
