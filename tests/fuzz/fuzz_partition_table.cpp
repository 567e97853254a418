// Partition tables of any bytes: the input is the start of a medium of at least 1 MiB and, once
// more, its end (where a GPT keeps its backup). Reading must end without fault, and what is
// listed must lie on the medium, have a length, be ordered and appear once.

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "device/partition_table.h"

using namespace norvale;

namespace {

bool WriteAll(int fd, const uint8_t* data, size_t size, uint64_t offset) {
    while (size > 0) {
        const ssize_t n = ::pwrite(fd, data, size, static_cast<off_t>(offset));
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
        offset += static_cast<uint64_t>(n);
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Inputs of whole 4 KiB sectors are also read as a disk with 4096-byte sectors.
    const uint32_t sectorSize = size > 0 && size % 4096 == 0 ? 4096 : 512;
    uint64_t medium = uint64_t{1} << 20;
    while (medium < 2 * uint64_t{size}) medium *= 2;
    const int fd = ::memfd_create("fuzz-medium", MFD_CLOEXEC);
    if (fd < 0) return 0;
    if (::ftruncate(fd, static_cast<off_t>(medium)) != 0 || !WriteAll(fd, data, size, 0) ||
        !WriteAll(fd, data, size, medium - size)) {
        ::close(fd);
        return 0;
    }
    PartitionTable table;
    if (ReadPartitionTable(fd, medium, sectorSize, table) == kOk) {
        const uint64_t sectors = medium / sectorSize;
        if (table.entries.size() > detail::kMaxTableEntries) std::abort();
        for (size_t i = 0; i < table.entries.size(); ++i) {
            const TableEntry& e = table.entries[i];
            if (e.sectorCount == 0 || e.startLba >= sectors ||
                e.sectorCount > sectors - e.startLba) {
                std::abort();
            }
            if (i > 0) {
                const TableEntry& p = table.entries[i - 1];
                if (p.startLba > e.startLba) std::abort();
                if (p.startLba == e.startLba && p.sectorCount == e.sectorCount) std::abort();
            }
        }
        if (table.scheme.empty() && !table.entries.empty()) std::abort();
    }
    ::close(fd);
    return 0;
}
