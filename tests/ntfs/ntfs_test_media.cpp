#include "ntfs/ntfs_test_media.h"

#include <sys/stat.h>

#include <fstream>
#include <sstream>

#include "device/sector_source.h"
#include "ntfs/mft_record.h"
#include "ntfs/mft_scanner.h"
#include "support/test_support.h"

namespace norvale::testing {
namespace {

uint64_t Hex(const std::string& s) {
    return std::stoull(s, nullptr, 16);
}

}  // namespace

bool HaveNtfsTools() {
    return HaveTool("mkntfs") && HaveTool("ntfscp") && HaveTool("ntfsinfo");
}

bool MakeNtfsImage(const std::string& path, uint64_t sizeMiB, const std::string& mkntfsArgs) {
    if (Run("truncate -s " + std::to_string(sizeMiB) + "M " + ShellQuote(path)) != 0) return false;
    return Run("mkntfs -F -Q -q " + mkntfsArgs + " " + ShellQuote(path) + " >/dev/null") == 0;
}

bool NtfsCopyIn(const std::string& image, const std::string& local, const std::string& dest) {
    return Run("ntfscp -f " + ShellQuote(image) + " " + ShellQuote(local) + " " + ShellQuote(dest)) == 0;
}

NtfsMount::NtfsMount(const std::string& image, const std::string& dir) : dir_(dir) {
    ::mkdir(dir.c_str(), 0755);
    if (!HaveTool("ntfs-3g")) {
        error_ = "ntfs-3g is not installed";
        return;
    }
    std::string out;
    ok_ = Run("ntfs-3g " + ShellQuote(image) + " " + ShellQuote(dir), &out) == 0;
    if (!ok_) error_ = "ntfs-3g mount failed (FUSE unavailable?): " + out;
}

bool NtfsMount::Unmount() {
    if (!ok_) return true;
    ok_ = Run("umount " + ShellQuote(dir_)) != 0 && Run("fusermount -u " + ShellQuote(dir_)) != 0;
    return !ok_;
}

NtfsMount::~NtfsMount() {
    Unmount();
}

std::map<std::string, std::string> NtfsinfoVolume(const std::string& image) {
    std::string out;
    Run("ntfsinfo -m " + ShellQuote(image), &out);
    std::map<std::string, std::string> facts;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        const size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        std::string key = line.substr(0, colon);
        key.erase(0, key.find_first_not_of(" \t"));
        std::string value = line.substr(colon + 1);
        value.erase(0, value.find_first_not_of(" \t"));
        facts.emplace(key, value);
    }
    return facts;
}

std::string NtfsinfoRuns(const std::string& image, uint64_t inode) {
    std::string out;
    Run("ntfsinfo -v -i " + std::to_string(inode) + " " + ShellQuote(image), &out);
    std::istringstream lines(out);
    std::string text;
    std::map<std::string, bool> seen;
    bool inData = false;
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("Dumping", 0) == 0) inData = line.find("$DATA") != std::string::npos;
        if (!inData) continue;
        std::istringstream fields(line);
        std::string vcn, lcn, length, extra;
        if (!(fields >> vcn >> lcn >> length) || (fields >> extra)) continue;
        // Other extents show as "<RL_NOT_MAPPED>" stretches; only mapped runs and holes count.
        if (vcn.rfind("0x", 0) != 0 || (lcn != "<HOLE>" && lcn.rfind("0x", 0) != 0) || seen[vcn]) {
            continue;
        }
        seen[vcn] = true;
        if (!text.empty()) text += ' ';
        text += (lcn == "<HOLE>" ? std::string("hole") : std::to_string(Hex(lcn))) + "+" +
                std::to_string(Hex(length));
    }
    return text;
}

uint64_t NtfsInode(const std::string& image, const std::string& path) {
    std::string out;
    if (Run("ntfsinfo -F " + ShellQuote(path) + " " + ShellQuote(image), &out) != 0) return 0;
    const size_t at = out.find("Dumping Inode ");
    return at == std::string::npos ? 0 : std::stoull(out.substr(at + 14));
}

std::string RunsText(const std::vector<DataRun>& runs) {
    std::string text;
    for (const DataRun& r : runs) {
        if (!text.empty()) text += ' ';
        text += (r.sparse ? std::string("hole") : std::to_string(r.lcn)) + "+" +
                std::to_string(r.length);
    }
    return text;
}

std::string FixturePath(const std::string& name) {
    return SourceDir() + "/tests/fixtures/ntfs/" + name;
}

std::vector<FixtureFile> ReadFixtureFacts(const std::string& path) {
    std::vector<FixtureFile> files;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        std::vector<std::string> f;
        std::istringstream fields(line);
        for (std::string field; std::getline(fields, field, '\t');) f.push_back(field);
        if (f.size() == 4) f.push_back("");  // no runs: a resident file
        if (f.size() == 5 && f[0] == "deleted") f.push_back("");
        FixtureFile file;
        file.deleted = f[0] == "deleted";
        file.inode = std::stoull(f[1]);
        file.path = f[2];
        if (file.deleted) {
            file.parent = std::stoull(f[3]);
            file.size = std::stoull(f[4]);
            file.runs = f[5];
        } else {
            file.size = std::stoull(f[3]);
            file.runs = f[4];
        }
        files.push_back(file);
    }
    return files;
}

std::string UnpackCard(const std::string& dir) {
    const std::string gz = FixturePath("ntfs_card.img.gz");
    const std::string out = dir + "/ntfs_card.img";
    if (Run("gzip -dc " + ShellQuote(gz) + " > " + ShellQuote(out)) != 0) return {};
    return out;
}

std::unique_ptr<OpenedNtfs> OpenNtfs(std::unique_ptr<ISectorSource> source) {
    auto v = std::make_unique<OpenedNtfs>();
    v->reader.Attach(std::move(source));
    v->volume = std::make_unique<NtfsVolume>(v->reader);
    v->openResult = v->volume->Open(0, 0);
    v->mftResult = v->openResult == kOk ? v->volume->LoadMftRuns() : v->openResult;
    return v;
}

std::unique_ptr<OpenedNtfs> OpenNtfsImage(const std::string& path) {
    std::unique_ptr<FileSource> file;
    if (FileSource::Open(path, file) != kOk) return nullptr;
    return OpenNtfs(std::move(file));
}

std::unique_ptr<OpenedNtfs> OpenNtfsBytes(std::vector<uint8_t> bytes) {
    return OpenNtfs(std::make_unique<MemorySource>(std::move(bytes)));
}

bool PreferredName(std::span<const uint8_t> record, FileNameInfo& out) {
    bool have = false;
    int haveRank = 0;
    AttributeRef attr;
    for (AttributeWalker walk(record); walk.Next(attr);) {
        FileNameInfo name;
        if (attr.type != kAttrFileName || !DecodeFileName(ResidentValue(attr), name)) continue;
        const int rank =
            name.nameSpace == kNameSpaceWin32 || name.nameSpace == kNameSpaceWin32AndDos ? 3
            : name.nameSpace == kNameSpacePosix                                          ? 2
                                                                                         : 1;
        if (!have || rank > haveRank) {
            out = name;
            have = true;
            haveRank = rank;
        }
    }
    return have;
}

std::map<uint64_t, ListedRecord> ListMft(NtfsVolume& volume) {
    std::map<uint64_t, ListedRecord> records;
    MftScanner scan(volume);
    if (scan.Init() != kOk) return records;
    while (true) {
        const Result r = scan.Next();
        if (r != kOk) continue;
        if (scan.Count() == 0) break;
        for (uint32_t i = 0; i < scan.Count(); ++i) {
            const std::span<uint8_t> record = scan.Record(i);
            ListedRecord listed;
            if (PrepareRecord(record) != kOk || !DecodeRecordHeader(record, listed.header)) {
                continue;
            }
            if (!PreferredName(record, listed.name)) continue;
            records[scan.FirstRecord() + i] = listed;
        }
    }
    return records;
}

std::vector<uint8_t> ReadWhole(NtfsVolume& volume, const AttributeData& data) {
    std::vector<uint8_t> bytes(data.realSize);
    if (volume.ReadAttributeBytes(data, 0, bytes) != kOk) return {};
    return bytes;
}

std::vector<uint8_t> Pattern(const std::string& text, size_t size) {
    std::vector<uint8_t> bytes;
    bytes.reserve(size);
    const std::string line = text + "\n";
    while (bytes.size() < size) bytes.push_back(uint8_t(line[bytes.size() % line.size()]));
    return bytes;
}

}  // namespace norvale::testing
