#include "cli/cli_app.h"

#include <CLI/CLI.hpp>
#include <exception>
#include <string>

#include "app/engine_set.h"
#include "cli/commands.h"

#ifndef NORVALE_VERSION
#error "NORVALE_VERSION comes from the build (the project's version in CMakeLists.txt)"
#endif

namespace norvale::cli {

int RunCli(int argc, char** argv) {
    CLI::App app{
        "Norvale Card Data Recovery: finds deleted and lost files on memory cards, "
        "USB sticks, disks and disk images, and writes them to another drive.",
        "norvale-cli"};
    app.require_subcommand(1);
    app.set_version_flag("--version", std::string("norvale-cli ") + NORVALE_VERSION,
                         "Print the version and exit");

    SourcesOptions sources;
    CLI::App* sourcesCmd = app.add_subcommand("sources",
                                              "List the disks and partitions that "
                                              "can be scanned (removable ones unless "
                                              "--all)");
    sourcesCmd->add_flag("--all", sources.all, "List every disk, not only removable ones");
    sourcesCmd->add_flag("--json", sources.json, "Print the list as JSON");
    sourcesCmd->add_option("--image", sources.images,
                           "List a disk image file as a disk: its partitions and the space "
                           "between them (repeatable)");

    std::string detectSource;
    CLI::App* detectCmd =
        app.add_subcommand("detect", "Tell which file system a disk, partition or image holds");
    detectCmd->add_option("SOURCE", detectSource, "Block device or image file")->required();

    // 0 would mean "no partition given" further on and copy the whole disk without a word.
    const CLI::Validator fromOne(
        [](std::string& value) -> std::string {
            try {
                if (std::stoll(value) >= 1) return {};
            } catch (const std::exception&) {
            }
            return "partitions are numbered from 1 (got " + value + ")";
        },
        "N >= 1");
    auto addScanOptions = [&fromOne](CLI::App* cmd, ScanOptions& o) {
        cmd->add_option("SOURCE", o.source, "Disk, partition or image file")->required();
        cmd->add_option("--mode", o.mode,
                        "deleted: deleted files of a FAT, exFAT or NTFS volume (default); full: "
                        "formatted or damaged media; carve: files found by their signatures");
        cmd->add_option("--partition", o.partition,
                        "Only partition N (from 1) of a whole disk or disk image; without it "
                        "every partition is scanned")
            ->check(fromOne);
        cmd->add_flag("--resume", o.resume, "Continue a saved full scan without asking");
        cmd->add_flag("--restart", o.restart, "Discard a saved full scan and start over");
        cmd->add_flag("-q,--quiet", o.quiet, "No progress display");
        cmd->add_flag("--damaged", o.damaged,
                      "Also include carved files whose structure does not check out: most are "
                      "not files at all");
        cmd->add_option("--threads", o.threads,
                        "Threads that look at the sectors of a full or carve scan (default: one "
                        "per core); the results are the same with any number")
            ->check(CLI::Range(1u, 256u));
        cmd->add_flag("--direct", o.direct,
                      "Read a disk around the page cache (O_DIRECT): for very large or failing "
                      "disks; image files are read as usual");
    };
    auto addFilterOptions = [](CLI::App* cmd, std::string& types, std::string& exts) {
        cmd->add_option("--type", types,
                        "Kinds to include: photo,audio,video,document,archive,others");
        cmd->add_option("--ext", exts, "Extensions to include: jpg,png,...");
    };

    ScanOptions scan;
    CLI::App* scanCmd = app.add_subcommand("scan", "Scan a source and report what was found");
    addScanOptions(scanCmd, scan);

    ListOptions list;
    CLI::App* listCmd = app.add_subcommand("list", "Scan a source and list the found files");
    addScanOptions(listCmd, list.scan);
    addFilterOptions(listCmd, list.types, list.exts);
    listCmd->add_flag("--tree", list.tree, "Show the found folders and files as a tree");
    listCmd->add_flag("--json", list.json, "Print the list as JSON");

    RecoverOptions recover;
    CLI::App* recoverCmd =
        app.add_subcommand("recover", "Scan a source and write the found files to a folder");
    addScanOptions(recoverCmd, recover.scan);
    addFilterOptions(recoverCmd, recover.types, recover.exts);
    recoverCmd->add_option("--to", recover.to, "Destination folder (on another drive)")->required();
    recoverCmd->add_flag("--allow-same-device", recover.allowSameDevice,
                         "Allow a destination on the scanned disk (overwrites lost data)");
    recoverCmd->add_flag("--keep-partial", recover.keepPartial,
                         "Keep files that could not be read whole, as \"name (incomplete).ext\"");
    recoverCmd->add_flag("--no-skip-existing", recover.noSkipExisting,
                         "Write files again that the destination already holds identically "
                         "(by default they are skipped)");
    recoverCmd->add_flag("--no-space-check", recover.noSpaceCheck,
                         "Start even when the destination has less free space than the files "
                         "need");
    recoverCmd->footer(
        "Exit codes: 0 all files recovered (or already there), 1 some failed, 2 bad input or "
        "not enough free space, 3 stopped (Ctrl-C) before every file was tried.\n");

    ImageOptions image;
    CLI::App* imageCmd = app.add_subcommand(
        "image", "Copy a disk, a partition or an image file sector by sector into an image file");
    imageCmd->add_option("SOURCE", image.source, "Disk, partition or image file")->required();
    imageCmd
        ->add_option("--to", image.to,
                     "The image file to write (on another drive); an existing file is "
                     "replaced only with --force")
        ->required();
    imageCmd
        ->add_option("--partition", image.partition,
                     "Copy only partition N (from 1) of a whole disk or disk image")
        ->check(fromOne);
    imageCmd->add_flag("--rescue", image.rescue,
                       "Go on past unreadable sectors (filled with zeros), keep a ddrescue map "
                       "next to the image and continue from it when run again");
    imageCmd->add_flag("--force", image.force,
                       "Replace an existing image file (a symbolic link is never followed)");
    imageCmd->add_flag("--allow-same-device", image.allowSameDevice,
                       "Allow an image file on the disk being copied");
    imageCmd->add_flag("-q,--quiet", image.quiet, "No progress display");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int rc = app.exit(e);
        return rc == 0 ? 0 : 2;
    }
    // Every command names file systems (detect, sources) or scans: they are known first.
    InstallEngineMakers();
    if (*sourcesCmd) return RunSources(sources);
    if (*detectCmd) return RunDetect(detectSource);
    if (*scanCmd) return RunScan(scan);
    if (*listCmd) return RunList(list);
    if (*recoverCmd) return RunRecover(recover);
    if (*imageCmd) return RunImage(image);
    return 2;
}

}  // namespace norvale::cli
