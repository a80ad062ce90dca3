// kvhost-validate: the validate subcommand on its own, for tests and CI where the full
// kvhost tool is not needed. `kvhost-validate validate PLUGIN...` equals `kvhost validate`.
#include <CLI/CLI.hpp>

#include "kvhost/validate.h"

int main(int argc, char** argv) {
    CLI::App app{"kvhost-validate: conformance and stress runs of deliverables"};
    app.require_subcommand(1);
    kvhost::AddValidateCommand(app);
    CLI11_PARSE(app, argc, argv);
    return 0;
}
