#include "cli/source_arg.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace norvale::cli {
namespace {

std::string PermissionHint(const std::string& path, bool device) {
    if (device) {
        return "cannot read " + path +
               ": permission denied. Run as root (sudo) or join the 'disk' group "
               "(sudo usermod -aG disk $USER, then log in again).";
    }
    return "cannot read " + path + ": permission denied. Check the file's permissions.";
}

}  // namespace

int ResolveSource(const std::string& path, SourceArg& out, std::string& error) {
    out = SourceArg{};
    out.path = path;
    struct stat st {};
    if (path.empty() || ::stat(path.c_str(), &st) != 0) {
        int err = path.empty() ? ENOENT : errno;
        if (err == EACCES) {
            error = PermissionHint(path, path.starts_with("/dev/"));
        } else {
            error = path +
                    ": no such disk or file. Check the path; `norvale-cli sources --all` "
                    "lists the disks and partitions of this machine.";
        }
        return kExitBadInput;
    }
    if (S_ISDIR(st.st_mode)) {
        error = path +
                " is a folder. Give a disk (/dev/sdb), a partition (/dev/sdb1) or a "
                "disk image file.";
        return kExitBadInput;
    }
    bool device = S_ISBLK(st.st_mode);
    if (!device && !S_ISREG(st.st_mode)) {
        error = path +
                " is neither a disk nor a file. Give a disk (/dev/sdb), a partition "
                "(/dev/sdb1) or a disk image file.";
        return kExitBadInput;
    }
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        int err = errno;
        if (err == EACCES || err == EPERM) {
            error = PermissionHint(path, device);
        } else if (err == ENOMEDIUM) {
            error = "cannot read " + path + ": no medium in the drive. Insert the card.";
        } else {
            error = "cannot read " + path + ": " + std::strerror(err) + ".";
        }
        return kExitBadInput;
    }
    ::close(fd);
    if (device) {
        PartitionRecord record;
        if (FindRecordForDevicePath(path, record) == kOk) {
            out.isImage = false;
            out.record = record;
        }
    }
    return 0;
}

}  // namespace norvale::cli
