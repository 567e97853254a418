#include "fat/professional_fat_test_helpers.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>

#include "device/bytes.h"
#include "engine/scan_log_history.h"
#include "engine/text_codec.h"
#include "fat/directory.h"
#include "fat/fat_test_media.h"

namespace norvale::testing {

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return c < 0x80 ? char(std::tolower(c)) : char(c); });
    return s;
}

FatCard::FatCard(const std::string& mkfsArgs, uint64_t sizeKiB)
    : image(dir / "card.img"), ok(MakeFatImage(image, mkfsArgs, sizeKiB)) {}

bool FatCard::Put(const std::string& path, std::vector<uint8_t> bytes) {
    const std::string local = dir / ("src" + std::to_string(written.size()));
    WriteFileBytes(local, bytes);
    written[Lower(path)] = std::move(bytes);
    return Mtools("LC_ALL=C.UTF-8 mcopy -i '" + image + "' '" + local + "' '::" + path + "'");
}

bool FatCard::Mkdir(const std::string& path) {
    return Mtools("LC_ALL=C.UTF-8 mmd -i '" + image + "' '::" + path + "'");
}

bool FatCard::Del(const std::string& path) {
    written.erase(Lower(path));
    return Mtools("LC_ALL=C.UTF-8 mdel -i '" + image + "' '::" + path + "'");
}

bool FatCard::Reformat(const std::string& mkfsArgs) {
    return Run("mkfs.fat " + mkfsArgs + " '" + image + "' >/dev/null 2>&1") == 0;
}

void WipeSectors(const std::string& image, uint64_t first, uint64_t count) {
    std::fstream f(image, std::ios::in | std::ios::out | std::ios::binary);
    const std::vector<char> zeros(512, 0);
    f.seekp(std::streamoff(first * 512));
    for (uint64_t i = 0; i < count; ++i) f.write(zeros.data(), std::streamsize(zeros.size()));
}

bool FatCard::CopyTo(const std::string& path) const {
    std::error_code ec;
    std::filesystem::copy_file(image, path, std::filesystem::copy_options::overwrite_existing, ec);
    return !ec;
}

ProPass RunProPass(CProfessionalFatRecovery& engine, SectorReader& source, const char* logName,
                   uint64_t firstLba, uint64_t endLba) {
    ProPass pass;
    pass.begin = engine.BeginScan(logName);
    pass.probe = engine.ProbeBootSector();
    constexpr uint32_t kSector = 512;
    constexpr uint32_t kChunk = 65536 / kSector;
    std::vector<uint8_t> chunk(size_t{kChunk} * kSector);
    const uint64_t total = std::min(source.TotalSectors(), endLba);
    for (uint64_t lba = firstLba; lba < total; lba += kChunk) {
        const auto count = static_cast<uint32_t>(std::min<uint64_t>(kChunk, total - lba));
        uint32_t got = 0;
        (void)source.ReadSectors(count, chunk.data(), lba, kSector, got);
        for (uint32_t i = 0; i < got; ++i) {
            const std::span<const uint8_t> sector(chunk.data() + size_t{i} * kSector, kSector);
            if (IsDotEntryPair(sector)) {
                engine.OnDotSector(sector, lba + i);
                ++pass.dotSectors;
            } else if (IsDirectoryBlock(sector)) {
                engine.OnDirectorySector(sector, lba + i);
                ++pass.directorySectors;
            }
        }
    }
    pass.finish = engine.FinishScan();
    return pass;
}

std::unique_ptr<CProfessionalFatRecovery> ProScanImage(const std::string& image, ProPass* pass) {
    auto engine = std::make_unique<CProfessionalFatRecovery>();
    if (engine->OpenImage(image, 1) != kOk) return nullptr;
    SectorReader source;
    if (source.OpenImageFile(image) != kOk) return nullptr;
    ScanLogHistory::Instance().NewScanFolder();
    const ProPass p = RunProPass(*engine, source);
    if (pass) *pass = p;
    return engine;
}

std::map<std::string, RecoveredItem> ListTreeOf(IFileRecoveryParse& engine) {
    std::map<std::string, RecoveredItem> all;
    std::set<int32_t> entered;
    std::function<void(const RecoveredItem*, int, const std::string&)> walk =
        [&](const RecoveredItem* folder, int level, const std::string& prefix) {
            std::vector<RecoveredItem> children;
            if (level > 64 || engine.ListChildren(folder, level, children) != kOk) return;
            for (const RecoveredItem& c : children) {
                const std::string path = prefix + std::string(c.Name());
                all[path] = c;
                if (c.isFolder && entered.insert(int32_t(c.objectKey)).second) {
                    walk(&all[path], level + 1, path + "/");
                }
            }
        };
    walk(nullptr, 0, "");
    return all;
}

std::vector<uint8_t> RecoverItemBytes(IFileRecoveryParse& engine, const RecoveredItem& item,
                                      const std::string& path, Result* result) {
    const Result r = engine.RecoverItem(item, path, 0);
    if (result) *result = r;
    if (r != kOk) return {};
    return ReadFileBytes(path);
}

namespace {

constexpr uint16_t kDate = ((2020 - 1980) << 9) | (5 << 5) | 5;
constexpr uint16_t kTime = 12 << 11;

void SetLe16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
void SetLe32(uint8_t* p, uint32_t v) {
    SetLe16(p, uint16_t(v));
    SetLe16(p + 2, uint16_t(v >> 16));
}

}  // namespace

EntryBytes ShortEntryOf(const char* name11, uint8_t attributes, uint32_t cluster, uint32_t size) {
    EntryBytes e(32, 0);
    std::memcpy(e.data(), name11, 11);
    e[11] = attributes;
    SetLe16(&e[14], kTime);
    SetLe16(&e[16], kDate);
    SetLe16(&e[18], kDate);
    SetLe16(&e[20], uint16_t(cluster >> 16));
    SetLe16(&e[22], kTime);
    SetLe16(&e[24], kDate);
    SetLe16(&e[26], uint16_t(cluster));
    SetLe32(&e[28], size);
    return e;
}

EntryBytes DotPairOf(uint32_t self, uint32_t parent) {
    EntryBytes pair = ShortEntryOf(".          ", kAttrDirectory, self, 0);
    const EntryBytes dotdot = ShortEntryOf("..         ", kAttrDirectory, parent, 0);
    pair.insert(pair.end(), dotdot.begin(), dotdot.end());
    return pair;
}

EntryBytes LongNameOf(const std::string& name, const char* name11) {
    std::u16string units = Utf8ToUtf16(name);
    units.push_back(0);
    while (units.size() % 13 != 0) units.push_back(0xFFFF);
    const size_t pieces = units.size() / 13;
    uint8_t sum = 0;
    for (int i = 0; i < 11; ++i) sum = uint8_t(((sum & 1) << 7) + (sum >> 1) + uint8_t(name11[i]));
    static constexpr size_t kOffsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    EntryBytes out;
    for (size_t p = pieces; p-- > 0;) {
        EntryBytes e(32, 0);
        e[0] = uint8_t(p + 1) | (p + 1 == pieces ? 0x40 : 0);
        e[11] = kAttrLongName;
        e[13] = sum;
        for (size_t k = 0; k < 13; ++k) SetLe16(&e[kOffsets[k]], units[p * 13 + k]);
        out.insert(out.end(), e.begin(), e.end());
    }
    return out;
}

void PutAt(std::vector<uint8_t>& medium, uint64_t lba, const std::vector<uint8_t>& bytes,
           size_t offsetInSector) {
    const size_t at = size_t(lba) * 512 + offsetInSector;
    if (medium.size() < at + bytes.size()) medium.resize(at + bytes.size());
    std::memcpy(medium.data() + at, bytes.data(), bytes.size());
}

std::vector<uint8_t> Fat32BootSector(uint32_t sectorsPerCluster, uint32_t dataStart,
                                     uint32_t totalSectors) {
    std::vector<uint8_t> b(512, 0);
    b[0] = 0xEB;
    b[1] = 0x58;
    b[2] = 0x90;
    std::memcpy(&b[3], "MSWIN4.1", 8);
    SetLe16(&b[0x0B], 512);
    b[0x0D] = uint8_t(sectorsPerCluster);
    SetLe16(&b[0x0E], 32);
    b[0x10] = 2;
    b[0x15] = 0xF8;
    SetLe32(&b[0x20], totalSectors);
    SetLe32(&b[0x24], (dataStart - 32) / 2);
    SetLe32(&b[0x2C], 2);
    std::memcpy(&b[0x52], "FAT32   ", 8);
    b[510] = 0x55;
    b[511] = 0xAA;
    return b;
}

}  // namespace norvale::testing
