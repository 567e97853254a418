// norvale-cli on whole-disk images, as dd or ddrescue copy a card: a DOS table with FAT32, NTFS
// and a logical FAT16, and a GPT with FAT32 and NTFS (scripts/make-whole-disk-images.sh, which
// also writes the deleted files' original bytes). Every partition is scanned without being
// chosen, its files land under its own folder; --partition picks one; damaged tables leave the
// readable partitions scanned. The images are made once per build (under the build folder,
// keyed by the script's content) and never written to; tests that damage one work on a copy.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/test_support.h"

namespace norvale {
namespace {

namespace fs = std::filesystem;
using testing::CliPath;
using testing::RunShell;
using testing::RunSystemTool;
using testing::ShellQuote;
using testing::TempDir;

std::vector<std::vector<std::string>> ReadTsv(const std::string& path) {
    std::vector<std::vector<std::string>> rows;
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);  // the header
    while (std::getline(in, line)) {
        std::vector<std::string> fields;
        std::stringstream s(line);
        std::string f;
        while (std::getline(s, f, '\t')) fields.push_back(f);
        if (line.ends_with('\t')) fields.push_back("");
        rows.push_back(fields);
    }
    return rows;
}

struct Deleted {
    std::string image;
    int partition = 0;
    std::string path;  // as the volume showed it, from "/"
    bool fragmented = false;
    std::string Name() const { return path.substr(path.rfind('/') + 1); }
};

struct Partition {
    std::string image;
    int number = 0;
    uint64_t start = 0, sectors = 0;
    std::string fs, label;
    // The name listings and recovered folders give it: "Partition 1 (CARDFAT, FAT32)", or
    // "Partition 3" when it holds no file system.
    std::string Display() const {
        if (fs.empty()) return "Partition " + std::to_string(number);
        return "Partition " + std::to_string(number) + " (" + (label.empty() ? "" : label + ", ") +
               fs + ")";
    }
};

// The made images and what they hold; `dir` is empty (and `why` says why) when they cannot be
// made here.
struct Media {
    std::string dir, why;
    std::vector<Deleted> deleted;
    std::vector<Partition> partitions;
    std::string Image(const std::string& name) const { return dir + "/" + name + ".img"; }
    std::string Original(const Deleted& d) const {
        return dir + "/deleted/" + d.image + "/p" + std::to_string(d.partition) + d.path;
    }
    const Partition& Part(const std::string& image, int number) const {
        for (const Partition& p : partitions)
            if (p.image == image && p.number == number) return p;
        throw std::runtime_error("no partition " + std::to_string(number) + " in " + image);
    }
    std::vector<Deleted> Of(const std::string& image, int partition = 0) const {
        std::vector<Deleted> out;
        for (const Deleted& d : deleted)
            if (d.image == image && (partition == 0 || d.partition == partition)) out.push_back(d);
        return out;
    }
};

const Media& WholeDiskMedia() {
    static const Media media = [] {
        Media m;
        const std::string script = testing::SourceDir() + "/scripts/make-whole-disk-images.sh";
        const auto bytes = testing::ReadFileBytes(script);
        std::ostringstream key;
        key << std::hex << std::hash<std::string>{}(std::string(bytes.begin(), bytes.end()));
        const std::string parent = std::string(NORVALE_BINARY_DIR) + "/test-media";
        m.dir = parent + "/whole-disk-" + key.str();
        if (!fs::exists(m.dir + "/done")) {
            fs::create_directories(parent);
            // Made aside and renamed when whole: test processes running side by side each
            // either find the finished folder or make their own.
            TempDir work(parent);
            std::string out;
            const int code = RunSystemTool(ShellQuote(script) + " " + ShellQuote(work / "media"), &out);
            if (code != 0) {
                m.why = (code == 3 ? "cannot make the whole-disk images here: "
                                   : "making the whole-disk images failed: ") +
                        out;
                if (code != 3) ADD_FAILURE() << m.why;
                m.dir.clear();
                return m;
            }
            std::ofstream(work / "media/done") << "made\n";
            std::error_code ec;
            fs::rename(work / "media", m.dir, ec);  // another process may have been first
        }
        for (const auto& r : ReadTsv(m.dir + "/expected.tsv")) {
            if (r.size() < 6) continue;
            m.deleted.push_back({r[0], std::stoi(r[1]), r[2], r[5] == "fragmented"});
        }
        for (const auto& r : ReadTsv(m.dir + "/partitions.tsv")) {
            if (r.size() < 6) continue;
            m.partitions.push_back(
                {r[0], std::stoi(r[1]), std::stoull(r[2]), std::stoull(r[3]), r[4], r[5]});
        }
        return m;
    }();
    return media;
}

#define REQUIRE_MEDIA()                                                         \
    do {                                                                        \
        if (WholeDiskMedia().dir.empty()) GTEST_SKIP() << WholeDiskMedia().why; \
    } while (0)

// The kind folder a recovered file of this name goes to, for the extensions whose kind is
// plain; "" for the others (any kind folder is accepted).
std::string KindOf(const std::string& name) {
    const std::string ext = name.substr(name.rfind('.') + 1);
    static const std::map<std::string, std::string> kinds = {
        {"jpg", "photo"}, {"png", "photo"},    {"mp3", "audio"},
        {"mp4", "video"}, {"pdf", "document"}, {"zip", "archive"}};
    const auto it = kinds.find(ext);
    return it == kinds.end() ? "" : it->second;
}

const std::set<std::string> kKindFolders = {"photo",    "audio",   "video",
                                            "document", "archive", "others"};

// Every file under `dir`, by its path relative to `dir`.
std::map<std::string, std::string> FilesUnder(const std::string& dir) {
    std::map<std::string, std::string> files;
    if (!fs::is_directory(dir)) return files;
    for (const auto& e : fs::recursive_directory_iterator(dir)) {
        if (e.is_regular_file()) files[fs::relative(e.path(), dir).string()] = e.path().string();
    }
    return files;
}

// The names directly under `dir` (none when it is missing).
std::set<std::string> TopNames(const std::string& dir) {
    std::set<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
        names.insert(it->path().filename().string());
    return names;
}

// Checks that `folder` holds each deleted file byte-exact under <kind>/<name>; that includes the
// FAT archive that filled a hole and went on past a live file (its clusters are the free ones
// from its first on).
void ExpectRecoveredInto(const Media& m, const std::string& folder,
                         const std::vector<Deleted>& files) {
    ASSERT_TRUE(fs::is_directory(folder)) << folder << " missing";
    for (const Deleted& d : files) {
        SCOPED_TRACE(d.image + " partition " + std::to_string(d.partition) + " " + d.path);
        std::string found;
        for (const std::string& kind : kKindFolders) {
            if (fs::exists(folder + "/" + kind + "/" + d.Name())) found = kind;
        }
        ASSERT_FALSE(found.empty())
            << d.Name() << " not recovered into a kind folder of " << folder;
        if (!KindOf(d.Name()).empty()) {
            EXPECT_EQ(found, KindOf(d.Name()));
        }
        EXPECT_TRUE(testing::ReadFileBytes(folder + "/" + found + "/" + d.Name()) ==
                    testing::ReadFileBytes(m.Original(d)))
            << "content differs" << (d.fragmented ? " (the fragmented one)" : "");
    }
}

// The top-level objects of a JSON array, as text (strings may hold braces).
std::vector<std::string> JsonObjects(const std::string& json) {
    std::vector<std::string> objects;
    int depth = 0;
    bool inString = false, escaped = false;
    size_t start = 0;
    for (size_t i = 0; i < json.size(); ++i) {
        const char c = json[i];
        if (inString) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                inString = false;
            continue;
        }
        if (c == '"') inString = true;
        if (c == '{' && depth++ == 0) start = i;
        if (c == '}' && --depth == 0) objects.push_back(json.substr(start, i - start + 1));
    }
    return objects;
}

std::string JsonString(const std::string& s) {
    std::string out = "\"";
    for (char c : s) out += (c == '"' || c == '\\') ? std::string("\\") + c : std::string(1, c);
    return out + "\"";
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// The lines of `text` that are not empty.
std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::stringstream s(text);
    std::string line;
    while (std::getline(s, line))
        if (!line.empty()) lines.push_back(line);
    return lines;
}

struct Damage;

class CliPartitioned : public ::testing::Test {
  protected:
    void SetUp() override { REQUIRE_MEDIA(); }
    // Runs norvale-cli; stdout to `out`, stderr to `err` when given (else to `out` too).
    int Cli(const std::string& args, std::string* out, std::string* err = nullptr) {
        const std::string errFile = dir_ / "stderr.txt";
        const std::string cmd = "'" + CliPath() + "' " + args;
        out->clear();  // the shell helper adds to what it is given
        if (!err) return RunShell(cmd, out);
        const int code = RunShell("{ " + cmd + " 2>" + ShellQuote(errFile) + "; }", out);
        const auto bytes = testing::ReadFileBytes(errFile);
        err->assign(bytes.begin(), bytes.end());
        return code;
    }
    void ExpectReportedAndScanned(const Damage& d);
    const Media& m_ = WholeDiskMedia();
    testing::IsolatedHome home_;
    TempDir dir_;
};

TEST_F(CliPartitioned, WholeImageRecoverPutsEveryPartitionsDeletedFilesUnderItsFolder) {
    for (const std::string image : {"mbr", "gpt"}) {
        SCOPED_TRACE(image + ".img");
        const std::string out = dir_ / ("out-" + image);
        std::string text, err;
        const int code =
            Cli("recover " + ShellQuote(m_.Image(image)) + " --to " + ShellQuote(out) + " -q", &text, &err);
        EXPECT_EQ(code, 0) << text << err;
        std::set<std::string> folders;
        std::vector<std::string> unreadable;
        for (const Partition& p : m_.partitions) {
            if (p.image != image) continue;
            if (p.fs.empty()) {
                unreadable.push_back(p.Display());
                continue;
            }
            folders.insert(p.Display());
            ExpectRecoveredInto(m_, out + "/" + p.Display(), m_.Of(image, p.number));
        }
        // Nothing lands outside a partition's folder: no kind folder at the top, and no folder
        // for the unallocated stretches (the deleted-file scan does not read them) or for a
        // partition without a file system.
        for (const std::string& name : TopNames(out)) {
            EXPECT_TRUE(folders.count(name)) << "unexpected " << name;
        }
        // A sound table has nothing to report; a partition without a file system is said to
        // be skipped, by its name.
        const auto lines = Lines(err);
        ASSERT_EQ(lines.size(), unreadable.size()) << err;
        for (size_t i = 0; i < lines.size(); ++i) {
            EXPECT_TRUE(Contains(lines[i], unreadable[i] + " ")) << lines[i];
            EXPECT_TRUE(Contains(lines[i], "skipped")) << lines[i];
        }
    }
}

TEST_F(CliPartitioned, ListNamesEachItemsPartitionInJsonAndTree) {
    std::string json;
    ASSERT_EQ(Cli("list " + ShellQuote(m_.Image("mbr")) + " -q --json", &json), 0) << json;
    const std::vector<std::string> objects = JsonObjects(json);
    for (const Deleted& d : m_.Of("mbr")) {
        SCOPED_TRACE(d.path);
        const Partition& p = m_.Part("mbr", d.partition);
        int matches = 0;
        for (const std::string& o : objects) {
            if (!Contains(o, "\"name\":" + JsonString(d.Name()))) continue;
            if (!Contains(o, "\"partition\":" + JsonString(p.Display()))) continue;
            EXPECT_TRUE(Contains(o, "\"partitionNumber\":" + std::to_string(p.number))) << o;
            ++matches;
        }
        EXPECT_EQ(matches, 1) << "listed " << matches << " times under " << p.Display();
    }

    std::string tree;
    ASSERT_EQ(Cli("list " + ShellQuote(m_.Image("gpt")) + " -q --tree", &tree), 0) << tree;
    for (const Partition& p : m_.partitions) {
        if (p.image == "gpt" && !p.fs.empty()) {
            EXPECT_TRUE(Contains(tree, p.Display() + "/")) << tree;
        }
    }

    // A partition copied out is a single volume: its items name no partition.
    const Partition& p1 = m_.Part("mbr", 1);
    const std::string single = dir_ / "p1.img";
    ASSERT_EQ(RunShell("dd if=" + ShellQuote(m_.Image("mbr")) + " of=" + ShellQuote(single) +
                       " bs=512 skip=" + std::to_string(p1.start) +
                       " count=" + std::to_string(p1.sectors) + " status=none"),
              0);
    ASSERT_EQ(Cli("list " + ShellQuote(single) + " -q --json", &json), 0) << json;
    ASSERT_FALSE(JsonObjects(json).empty()) << json;
    for (const std::string& o : JsonObjects(json)) {
        EXPECT_TRUE(Contains(o, "\"partition\":null")) << o;
        EXPECT_TRUE(Contains(o, "\"partitionNumber\":null")) << o;
    }
}

TEST_F(CliPartitioned, PartitionOptionRecoversThatPartitionAloneIntoKindFolders) {
    for (const auto& [image, number] : {std::pair{"mbr", 2}, {"mbr", 5}, {"gpt", 1}}) {
        SCOPED_TRACE(std::string(image) + " partition " + std::to_string(number));
        const std::string out = dir_ / (std::string(image) + std::to_string(number));
        std::string text;
        const int code = Cli("recover " + ShellQuote(m_.Image(image)) + " --partition " +
                                 std::to_string(number) + " --to " + ShellQuote(out) + " -q",
                             &text);
        EXPECT_EQ(code, 0) << text;
        ExpectRecoveredInto(m_, out, m_.Of(image, number));
        for (const std::string& name : TopNames(out)) {
            EXPECT_TRUE(kKindFolders.count(name)) << "unexpected " << name;
        }
        // Nothing of the other partitions: no file of theirs, by content.
        std::set<std::vector<uint8_t>> others;
        for (const Deleted& d : m_.Of(image))
            if (d.partition != number) others.insert(testing::ReadFileBytes(m_.Original(d)));
        for (const auto& [rel, path] : FilesUnder(out)) {
            EXPECT_FALSE(others.count(testing::ReadFileBytes(path))) << rel;
        }
    }

    std::string json;
    ASSERT_EQ(Cli("list " + ShellQuote(m_.Image("gpt")) + " --partition 2 -q --json", &json), 0) << json;
    const auto objects = JsonObjects(json);
    EXPECT_GE(objects.size(), m_.Of("gpt", 2).size()) << json;
    for (const std::string& o : objects) {
        EXPECT_TRUE(Contains(o, "\"partition\":" + JsonString(m_.Part("gpt", 2).Display()))) << o;
        EXPECT_TRUE(Contains(o, "\"partitionNumber\":2")) << o;
    }

    // No such partition, or the extended container (no volume): refused, naming those there are.
    for (const char* number : {"9", "3"}) {
        std::string text;
        EXPECT_EQ(Cli("list " + ShellQuote(m_.Image("mbr")) + " --partition " + number + " -q", &text),
                  2)
            << text;
        EXPECT_TRUE(Contains(text, "1, 2, 5")) << text;
    }
}

TEST_F(CliPartitioned, SourcesListsAnImageAsADiskWithItsPartitionsAndGap) {
    std::string json;
    for (const std::string image : {"gpt", "mbr"}) {
        ASSERT_EQ(Cli("sources --image " + ShellQuote(m_.Image(image)) + " --json", &json), 0) << json;
        const auto objects = JsonObjects(json);
        for (const Partition& p : m_.partitions) {
            if (p.image != image) continue;
            SCOPED_TRACE(image + " " + p.Display());
            int matches = 0;
            for (const std::string& o : objects) {
                if (!Contains(o, "\"startLba\":" + std::to_string(p.start) + ",")) continue;
                ++matches;
                EXPECT_TRUE(Contains(o, "\"kind\":\"partition\"")) << o;
                EXPECT_TRUE(Contains(o, "\"partitionNumber\":" + std::to_string(p.number))) << o;
                EXPECT_TRUE(Contains(o, "\"fileSystem\":" + JsonString(p.fs))) << o;
                EXPECT_TRUE(Contains(o, "\"label\":" + JsonString(p.label))) << o;
                EXPECT_TRUE(Contains(o, "\"sectorCount\":" + std::to_string(p.sectors) + ",")) << o;
            }
            EXPECT_EQ(matches, 1) << json;
        }
    }
    const auto objects = JsonObjects(json);  // of mbr.img
    // The 16 MiB between partitions 1 and 2 is listed; the 1 MiB before the first, the slack
    // before the logical partition and the 6 MiB tail are each smaller than a 255 x 63
    // cylinder and are not.
    int unallocated = 0;
    for (const std::string& o : objects) {
        if (!Contains(o, "\"kind\":\"unallocated\"")) continue;
        ++unallocated;
        EXPECT_TRUE(Contains(o, "\"startLba\":100352,")) << o;
        EXPECT_TRUE(Contains(o, "\"sectorCount\":32768,")) << o;
    }
    EXPECT_EQ(unallocated, 1) << json;

    std::string table;
    ASSERT_EQ(Cli("sources --image " + ShellQuote(m_.Image("gpt")), &table), 0) << table;
    EXPECT_TRUE(Contains(table, "GPTFAT")) << table;
    EXPECT_TRUE(Contains(table, "FAT32")) << table;
    EXPECT_TRUE(Contains(table, "NTFS")) << table;
}

TEST_F(CliPartitioned, ImageCopiesOnePartitionOutOfAWholeDiskImage) {
    // A logical partition of the DOS table and a GPT partition: exactly their bytes.
    for (const auto& [image, number] : {std::pair{"mbr", 5}, {"gpt", 2}}) {
        SCOPED_TRACE(std::string(image) + " partition " + std::to_string(number));
        const Partition& p = m_.Part(image, number);
        const std::string copy = dir_ / (std::string(image) + std::to_string(number) + ".img");
        std::string text;
        ASSERT_EQ(Cli("image " + ShellQuote(m_.Image(image)) + " --partition " + std::to_string(number) +
                          " --to " + ShellQuote(copy) + " -q",
                      &text),
                  0)
            << text;
        EXPECT_EQ(fs::file_size(copy), p.sectors * 512);
        EXPECT_EQ(RunShell("cmp -n " + std::to_string(p.sectors * 512) + " -i " +
                           std::to_string(p.start * 512) + ":0 " + ShellQuote(m_.Image(image)) + " " +
                           ShellQuote(copy)),
                  0);
    }
}

// The full scan reads each partition and the stretches between them; carving reads the whole
// medium. Both find the picture left in the unallocated stretch; the full scan still puts each
// partition's deleted files under the partition's folder.
TEST_F(CliPartitioned, FullScanAlsoReadsTheStretchesBetweenPartitionsAndCarvingTheWholeMedium) {
    const auto gap = ReadTsv(m_.dir + "/unallocated.tsv");
    ASSERT_EQ(gap.size(), 1u);
    const auto picture = testing::ReadFileBytes(m_.dir + "/unallocated.png");
    const std::string out = dir_ / "full";
    std::string text;
    EXPECT_EQ(
        Cli("recover --mode full " + ShellQuote(m_.Image("mbr")) + " --to " + ShellQuote(out) + " -q", &text),
        0)
        << text;
    for (const Partition& p : m_.partitions) {
        if (p.image == "mbr")
            ExpectRecoveredInto(m_, out + "/" + p.Display(), m_.Of("mbr", p.number));
    }
    int copies = 0;
    for (const auto& [rel, path] : FilesUnder(out)) {
        if (testing::ReadFileBytes(path) != picture) continue;
        ++copies;
        EXPECT_NE(rel.rfind("Partition ", 0), 0u) << rel << ": it lies in no partition";
    }
    EXPECT_EQ(copies, 1);

    std::string json;
    ASSERT_EQ(Cli("list --mode carve " + ShellQuote(m_.Image("mbr")) + " -q --json", &json), 0) << json;
    bool carved = false;
    for (const std::string& o : JsonObjects(json)) {
        carved |= Contains(o, "\"name\":\"" + gap[0][1] + ".png\"") &&
                  Contains(o, "\"size\":" + gap[0][2] + ",");
    }
    EXPECT_TRUE(carved) << "no " << gap[0][1] << ".png of " << gap[0][2] << " bytes";
}

// A damage done to a copy of one of the images, and what must still come back.
struct Damage {
    const char* what;
    const char* image;
    std::function<void(const std::string&)> apply;
    const char* mentions;     // a word the line about it has
    std::vector<int> intact;  // the partitions whose files must all come back
};

// Recovers from the damaged copy: the problem is one line on stderr, and the partitions that
// can be read are still scanned.
void CliPartitioned::ExpectReportedAndScanned(const Damage& d) {
    SCOPED_TRACE(d.what);
    const std::string img = dir_ / "damaged.img";
    fs::remove(img);
    ASSERT_EQ(RunShell("cp --sparse=always " + ShellQuote(m_.Image(d.image)) + " " + ShellQuote(img)), 0);
    d.apply(img);
    const std::string out = dir_ / "damaged-out";
    fs::remove_all(out);
    std::string text, err;
    const int code = Cli("recover " + ShellQuote(img) + " --to " + ShellQuote(out) + " -q", &text, &err);
    EXPECT_TRUE(code == 0 || code == 1) << code << "\n" << text << err;
    for (int n : d.intact) {
        ExpectRecoveredInto(m_, out + "/" + m_.Part(d.image, n).Display(), m_.Of(d.image, n));
    }
    // One line about the table; a partition holding no readable file system is skipped
    // with a line of its own.
    std::vector<std::string> lines;
    for (const std::string& line : Lines(err))
        if (!Contains(line, "skipped")) lines.push_back(line);
    EXPECT_EQ(lines.size(), 1u) << err;
    if (!lines.empty() && *d.mentions) {
        EXPECT_TRUE(Contains(lines[0], d.mentions)) << err;
    }
}

// Tables whose entries cannot all be believed: past the end, repeated, overlapping, of no
// length, an extended chain that loops; a GPT whose backup header disagrees.
TEST_F(CliPartitioned, DamagedTablesAreReportedAndTheReadablePartitionsStillScanned) {
    const uint64_t gptSectors = fs::file_size(m_.Image("gpt")) / 512;
    const Damage damages[] = {
        {"partition 5 runs past the end",
         "mbr",
         [&](const std::string& img) {
             // The logical partition's entry in its EBR (the extended partition's first
             // sector): its sector count (at +12) reaches past the image's end.
             testing::SetLe32(img, 198656ull * 512 + 446 + 12, 70000);
         },
         "5",
         {1, 2, 5}},
        {"entry 4 starts past the end",
         "mbr",
         [&](const std::string& img) {
             // Entry 4 (byte 494), unused so far: type, start and length.
             testing::SetByte(img, 494 + 4, 0x0C);
             testing::SetLe32(img, 494 + 8, 300000);
             testing::SetLe32(img, 494 + 12, 1000);
         },
         "4",
         {1, 2, 5}},
        {"entry 4 repeats partition 1",
         "mbr",
         [&](const std::string& img) {
             auto bytes = testing::ReadFileBytes(img);
             std::copy_n(bytes.begin() + 446, 16, bytes.begin() + 494);
             std::ofstream(img, std::ios::in | std::ios::out | std::ios::binary)
                 .write(reinterpret_cast<const char*>(bytes.data()), 512);
         },
         "4",
         {1, 2, 5}},
        {"entry 4 overlaps partition 1",
         "mbr",
         [&](const std::string& img) {
             // A FAT32 entry starting inside partition 1; there is no volume at its start, so
             // it is also skipped, which is not a problem of the table.
             testing::SetByte(img, 494 + 4, 0x0C);
             testing::SetLe32(img, 494 + 8, 4096);
             testing::SetLe32(img, 494 + 12, 8192);
         },
         "4",
         {1, 2, 5}},
        {"the GPT backup disagrees",
         "gpt",
         [&](const std::string& img) {
             // The backup header's first-usable-LBA field no longer matches its CRC.
             testing::FlipByte(img, (gptSectors - 1) * 512 + 40);
         },
         "",
         {1, 2}},
        {"a zero-length entry",
         "mbr",
         [&](const std::string& img) {
             testing::SetByte(img, 494 + 4, 0x0C);
             testing::SetLe32(img, 494 + 8, 100352);
             testing::SetLe32(img, 494 + 12, 0);
         },
         "4",
         {1, 2, 5}},
        {"the extended chain loops",
         "mbr",
         [&](const std::string& img) {
             // The logical partition's EBR (the extended partition's first sector) names
             // itself as the next one.
             const uint64_t ebr = 198656ull * 512;
             testing::SetByte(img, ebr + 462 + 4, 0x05);
             testing::SetLe32(img, ebr + 462 + 8, 0);
             testing::SetLe32(img, ebr + 462 + 12, 51200);
         },
         "",
         {1, 2, 5}},
    };
    for (const Damage& d : damages) ExpectReportedAndScanned(d);
}

// A whole-disk image attached as a partitioned loop device (root only; skips where the machine
// refuses): imaging the device and recovering from the copy gives the same files as
// recovering from the device's first partition directly.
class LoopDisk {
  public:
    explicit LoopDisk(const std::string& image) {
        std::string out;
        if (RunSystemTool("losetup -r -f --show -P " + ShellQuote(image), &out) != 0 ||
            out.rfind("/dev/loop", 0) != 0) {
            why_ = "this machine refuses to attach a loop device: " + out;
            return;
        }
        device_ = out.substr(0, out.find('\n'));
        const std::string part = device_ + "p1";
        for (int waited = 0; waited < 3000 && !fs::exists(part); waited += 50) {
            if (waited == 300) RunSystemTool("partx -a " + ShellQuote(device_));
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        if (!fs::exists(part)) why_ = "the kernel made no partition devices for " + device_;
    }
    ~LoopDisk() {
        if (device_.empty()) return;
        std::string out;
        if (RunSystemTool("losetup -d " + ShellQuote(device_), &out) != 0)
            ADD_FAILURE() << "could not detach " << device_ << ": " << out;
    }
    LoopDisk(const LoopDisk&) = delete;
    LoopDisk& operator=(const LoopDisk&) = delete;
    bool Ready() const { return why_.empty(); }
    const std::string& Why() const { return why_; }
    const std::string& Device() const { return device_; }

  private:
    std::string device_, why_;
};

TEST_F(CliPartitioned, ImageOfAPartitionedLoopDeviceRecoversAsItsPartitionDoes) {
    if (::geteuid() != 0) GTEST_SKIP() << "attaching a loop device needs root";
    const std::string attached = dir_ / "card.img";
    ASSERT_EQ(RunShell("cp --sparse=always " + ShellQuote(m_.Image("mbr")) + " " + ShellQuote(attached)), 0);
    LoopDisk loop(attached);
    if (!loop.Ready()) GTEST_SKIP() << loop.Why();

    std::string text;
    const std::string copy = dir_ / "copy.img";
    ASSERT_EQ(Cli("image " + ShellQuote(loop.Device()) + " --to " + ShellQuote(copy) + " -q", &text), 0)
        << text;
    EXPECT_EQ(RunShell("cmp " + ShellQuote(attached) + " " + ShellQuote(copy)), 0);

    const std::string fromCopy = dir_ / "from-copy", fromPart = dir_ / "from-p1";
    int code = Cli("recover " + ShellQuote(copy) + " --to " + ShellQuote(fromCopy) + " -q", &text);
    EXPECT_TRUE(code == 0 || code == 1) << text;
    code =
        Cli("recover " + ShellQuote(loop.Device() + "p1") + " --to " + ShellQuote(fromPart) + " -q", &text);
    EXPECT_TRUE(code == 0 || code == 1) << text;

    const auto direct = FilesUnder(fromPart);
    ASSERT_FALSE(direct.empty());
    ExpectRecoveredInto(m_, fromPart, m_.Of("mbr", 1));
    // The copy, and the attached disk itself read whole, give partition 1 the same files.
    const std::string fromDisk = dir_ / "from-disk";
    code = Cli("recover " + ShellQuote(loop.Device()) + " --to " + ShellQuote(fromDisk) + " -q", &text);
    EXPECT_TRUE(code == 0 || code == 1) << text;
    for (const std::string& whole : {fromCopy, fromDisk}) {
        SCOPED_TRACE(whole);
        const auto files = FilesUnder(whole + "/" + m_.Part("mbr", 1).Display());
        ASSERT_EQ(files.size(), direct.size());
        for (const auto& [rel, path] : direct) {
            SCOPED_TRACE(rel);
            ASSERT_TRUE(files.count(rel));
            EXPECT_TRUE(testing::ReadFileBytes(path) == testing::ReadFileBytes(files.at(rel)));
        }
    }
}

}  // namespace
}  // namespace norvale
