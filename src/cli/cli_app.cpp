#include "cli/cli_app.h"

#include <CLI/CLI.hpp>

#include "cli/commands.h"

namespace norvale::cli {

int RunCli(int argc, char** argv) {
    CLI::App app{"Norvale Card Data Recovery: finds deleted and lost files on memory cards, "
                 "USB sticks, disks and disk images, and writes them to another drive.",
                 "norvale-cli"};
    app.require_subcommand(1);

    SourcesOptions sources;
    CLI::App* sourcesCmd = app.add_subcommand("sources", "List the disks and partitions that "
                                                         "can be scanned (removable ones unless "
                                                         "--all)");
    sourcesCmd->add_flag("--all", sources.all, "List every disk, not only removable ones");
    sourcesCmd->add_flag("--json", sources.json, "Print the list as JSON");

    std::string detectSource;
    CLI::App* detectCmd =
        app.add_subcommand("detect", "Tell which file system a disk, partition or image holds");
    detectCmd->add_option("SOURCE", detectSource, "Block device or image file")->required();

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int rc = app.exit(e);
        return rc == 0 ? 0 : 2;
    }
    if (*sourcesCmd) return RunSources(sources);
    if (*detectCmd) return RunDetect(detectSource);
    return 2;
}

}  // namespace norvale::cli
