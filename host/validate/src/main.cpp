// kvhost-validate: the validate subcommand on its own, for tests and CI where the full
// kvhost tool is not needed. `kvhost-validate validate PLUGIN...` equals `kvhost validate`.
#include "kvhost/command.h"
#include "kvhost/validate.h"

int main(int argc, char** argv) {
    kvhost::Tool tool("kvhost-validate: conformance and stress runs of deliverables");
    kvhost::AddValidateCommand(tool);
    return tool.Main(argc, argv);
}
