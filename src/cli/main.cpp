#include "cli/cli_app.h"

int main(int argc, char** argv) {
    return norvale::cli::RunCli(argc, argv);
}
