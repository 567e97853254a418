#pragma once
// norvale-cli: the command-line front end. RunCli parses the arguments and runs one command;
// the exit code is 0 on success, 1 when the command ran and failed, 2 for bad input (a missing
// or unusable source, a bad option).

namespace norvale::cli {

int RunCli(int argc, char** argv);

}  // namespace norvale::cli
