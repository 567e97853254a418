#include "device/partition_locator.h"

#include <blkid/blkid.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace norvale {

Result FindPartitionInTable(const std::string& path, int number, PartitionExtent& out) {
    out = PartitionExtent{};
    // Opened here first, read-only, so a missing file or missing rights give their own result
    // rather than "no partition table".
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return FromErrno(errno);
    Result result = kErrNotSupported;
    blkid_probe pr = blkid_new_probe();
    if (pr && blkid_probe_set_device(pr, fd, 0, 0) == 0) {
        blkid_probe_enable_superblocks(pr, 0);
        blkid_probe_enable_partitions(pr, 1);
        if (blkid_partlist list = blkid_probe_get_partitions(pr)) {
            result = kErrFileNotFound;
            const int n = blkid_partlist_numof_partitions(list);
            for (int i = 0; i < n; ++i) {
                blkid_partition part = blkid_partlist_get_partition(list, i);
                if (!part || blkid_partition_get_partno(part) != number) continue;
                const int type = blkid_partition_get_type(part);
                if (blkid_partition_is_extended(part) || type == 0x05 || type == 0x0F ||
                    type == 0x85) {
                    result = kErrInvalidParameter;
                    break;
                }
                const blkid_loff_t start = blkid_partition_get_start(part);
                const blkid_loff_t size = blkid_partition_get_size(part);
                if (start < 0 || size <= 0) break;
                out.startLba = static_cast<uint64_t>(start);
                out.sectorCount = static_cast<uint64_t>(size);
                result = kOk;
                break;
            }
        }
    }
    if (pr) blkid_free_probe(pr);
    ::close(fd);
    return result;
}

}  // namespace norvale
