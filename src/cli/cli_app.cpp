#include "cli/cli_app.h"

#include <CLI/CLI.hpp>

namespace norvale::cli {

int RunCli(int argc, char** argv) {
    CLI::App app{"Norvale Card Data Recovery"};
    CLI11_PARSE(app, argc, argv);
    return 0;
}

}  // namespace norvale::cli
