#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace norvale {
namespace {

using testing::CliPath;
using testing::RunShell;
using testing::ShellQuote;
using testing::TempDir;

// One file of a committed exFAT card's manifest: STATE PATH SIZE SHA256 NOTE, tab-separated.
struct CardFile {
    std::string state, path, sha256, note;
};

std::vector<CardFile> ReadManifest(const std::string& card) {
    std::ifstream in(testing::SourceDir() + "/tests/fixtures/exfat/" + card + ".manifest");
    std::vector<CardFile> files;
    std::string line;
    while (std::getline(in, line)) {
        std::vector<std::string> f;
        std::istringstream fields(line);
        for (std::string x; std::getline(fields, x, '\t');) f.push_back(x);
        if (f.size() == 5) files.push_back({f[0], f[1], f[3], f[4]});
    }
    return files;
}

class CliExfat : public ::testing::Test {
  protected:
    std::string Unpack(const std::string& image) {
        const std::string path = dir_ / (image + ".img");
        std::string out;
        EXPECT_EQ(RunShell("gzip -dc " +
                               ShellQuote(testing::SourceDir() + "/tests/fixtures/exfat/" + image +
                                          ".img.gz") +
                               " > " + ShellQuote(path),
                           &out),
                  0)
            << out;
        return path;
    }
    int Cli(const std::string& args, std::string* out) {
        out->clear();  // RunShell adds to what is there
        return RunShell(ShellQuote(CliPath()) + " " + args, out);
    }
    // The listed files' paths below the volume's folder ("Volume (CARD, exFAT)"), each as often
    // as it is listed.
    std::multiset<std::string> ListedPaths(const std::string& listing) {
        std::multiset<std::string> paths;
        std::istringstream lines(listing);
        for (std::string line; std::getline(lines, line);) {
            const size_t slash = line.find(")/");
            const size_t size = line.find("  ");
            if (slash == std::string::npos || size == std::string::npos || size < slash) continue;
            paths.insert(line.substr(slash + 1, line.find_last_not_of(' ', size) - slash));
        }
        return paths;
    }
    // SHA-256 of every file written under `folder`, with the file names.
    std::multimap<std::string, std::string> WrittenFiles(const std::string& folder) {
        std::string out;  // RunShell adds to it
        EXPECT_EQ(
            RunShell("cd " + ShellQuote(folder) + " && find . -type f -exec sha256sum {} + | sort",
                     &out),
            0);
        std::multimap<std::string, std::string> files;
        std::istringstream lines(out);
        for (std::string line; std::getline(lines, line);) {
            if (line.size() > 66) files.emplace(line.substr(0, 64), line.substr(66));
        }
        return files;
    }

    testing::IsolatedHome home_;
    TempDir dir_;
};

// A live card: the deleted-file scan and the full scan both list every deleted file once, under
// its folder, and give it back byte-exact; the full scan adds no copies of them.
TEST_F(CliExfat, DeletedFilesOfALiveCardComeBackNamedInBothModes) {
    const std::string card = Unpack("exfat_4k");
    std::string out;
    ASSERT_EQ(Cli("detect " + ShellQuote(card), &out), 0) << out;
    EXPECT_EQ(out, "exFAT\n");

    std::multiset<std::string> deleted;
    std::set<std::string> deletedSums;
    for (const CardFile& f : ReadManifest("exfat_4k")) {
        if (f.state != "deleted") continue;
        deleted.insert(f.path);
        deletedSums.insert(f.sha256);
    }
    ASSERT_GE(deleted.size(), 6u);

    for (const char* mode : {"", " --mode full --restart"}) {
        SCOPED_TRACE(mode);
        ASSERT_EQ(Cli("list -q " + ShellQuote(card) + mode, &out), 0) << out;
        EXPECT_EQ(ListedPaths(out), deleted) << out;

        const std::string dest = dir_ / (std::string("out") + (*mode ? "-full" : ""));
        ASSERT_EQ(Cli("recover -q " + ShellQuote(card) + mode + " --to " + ShellQuote(dest), &out),
                  0)
            << out;
        std::set<std::string> written;
        for (const auto& [sum, name] : WrittenFiles(dest)) written.insert(sum);
        EXPECT_EQ(written, deletedSums);
    }
}

// The same card quick-formatted: the old folders are found anywhere and every file in them comes
// back byte-exact under its name; the old root was written over and what only it named is gone.
// Nothing is written that the card did not hold, except files in pieces whose chain the format
// took (their names tell them).
TEST_F(CliExfat, QuickFormattedCardGivesBackItsFoldersFiles) {
    const std::string card = Unpack("exfat_4k_formatted");
    std::set<std::string> sums, pieces;
    std::map<std::string, std::string> expected;  // sha256 -> name
    for (const CardFile& f : ReadManifest("exfat_4k")) {
        sums.insert(f.sha256);
        const std::string name = f.path.substr(f.path.rfind('/') + 1);
        if (f.note == "fragmented") pieces.insert(name);
        const bool inAFolder = f.path.find('/', 1) != std::string::npos;
        if ((f.state == "live" || f.state == "deleted") && inAFolder && f.note != "fragmented")
            expected.emplace(f.sha256, name);
    }
    ASSERT_GE(expected.size(), 10u);

    const std::string dest = dir_ / "out";
    std::string out;
    ASSERT_EQ(
        Cli("recover -q --mode full --restart " + ShellQuote(card) + " --to " + ShellQuote(dest),
            &out),
        0)
        << out;
    const auto written = WrittenFiles(dest);
    for (const auto& [sum, name] : expected) {
        const auto [first, last] = written.equal_range(sum);
        bool named = false;
        for (auto it = first; it != last; ++it) {
            named |= it->second.size() >= name.size() &&
                     it->second.compare(it->second.size() - name.size(), name.size(), name) == 0;
        }
        EXPECT_TRUE(named) << name;
    }
    for (const auto& [sum, path] : written) {
        const std::string name = path.substr(path.rfind('/') + 1);
        EXPECT_TRUE(sums.count(sum) || pieces.count(name)) << path;
    }
}

}  // namespace
}  // namespace norvale
