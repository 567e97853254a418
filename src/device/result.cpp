#include "device/result.h"

#include <cerrno>

namespace norvale {

Result FromErrno(int err) {
    switch (err) {
        case 0:
            return kOk;
        case ENOENT:
            return kErrFileNotFound;
        case ENOTDIR:
            return kErrPathNotFound;
        case EMFILE:
        case ENFILE:
            return kErrTooManyOpenFiles;
        case EACCES:
        case EPERM:
        case EROFS:
            return kErrAccessDenied;
        case EBADF:
            return kErrInvalidHandle;
        case ENOMEM:
            return kErrNotEnoughMemory;
        case ENXIO:
        case ENODEV:
            return kErrNotReady;
        case ENOMEDIUM:
            return kErrNoMediaInDrive;
        case EBUSY:
            return kErrBusy;
        case EEXIST:
            return kErrAlreadyExists;
        case EINVAL:
        case ESPIPE:
        case EOVERFLOW:
            return kErrInvalidParameter;
        case EISDIR:
            return kErrDirectoryName;
        case EPIPE:
            return kErrBrokenPipe;
        case ENOSPC:
        case EDQUOT:
        case EFBIG:
            return kErrDiskFull;
        case ENAMETOOLONG:
            return kErrFilenameTooLong;
        case ENOTEMPTY:
            return kErrDirNotEmpty;
        case EIO:
            return kErrIoDevice;
        case EOPNOTSUPP:
            return kErrNotSupported;
        case ETXTBSY:
            return kErrSharingViolation;
        default:
            return kErrGenFailure;
    }
}

// In the words Linux itself uses (strerror), so that a message reads like any other program's;
// the caller adds the path the result is about.
std::string ResultText(Result r) {
    switch (r) {
        case kOk:
            return "Success";
        case kErrInvalidFunction:
            return "Function not implemented";
        case kErrFileNotFound:
            return "No such file or directory";
        case kErrPathNotFound:
            return "No such directory";
        case kErrTooManyOpenFiles:
            return "Too many open files";
        case kErrAccessDenied:
            return "Permission denied";
        case kErrInvalidHandle:
            return "Bad file descriptor";
        case kErrNotEnoughMemory:
            return "Cannot allocate memory";
        case kErrNotReady:
            return "No such device";
        case kErrCrc:
            return "Input/output error (bad checksum)";
        case kErrSectorNotFound:
            return "Input/output error (sector not found)";
        case kErrWriteFault:
            return "Input/output error while writing";
        case kErrReadFault:
            return "Input/output error while reading";
        case kErrGenFailure:
            return "Operation failed";
        case kErrSharingViolation:
            return "Text file busy";
        case kErrHandleEof:
            return "Unexpected end of file";
        case kErrNotSupported:
            return "Operation not supported";
        case kErrFileExists:
            return "File already exists";
        case kErrInvalidParameter:
            return "Invalid argument";
        case kErrBrokenPipe:
            return "Broken pipe";
        case kErrDiskFull:
            return "No space left on device";
        case kErrInsufficientBuffer:
            return "Buffer too small";
        case kErrInvalidName:
            return "Invalid file name";
        case kErrDirNotEmpty:
            return "Directory not empty";
        case kErrBusy:
            return "Device or resource busy";
        case kErrAlreadyExists:
            return "File exists";
        case kErrFilenameTooLong:
            return "File name too long";
        case kErrMoreData:
            return "More data is available";
        case kErrDirectoryName:
            return "Is a directory, or not a directory where one is needed";
        case kErrNoMediaInDrive:
            return "No medium found";
        case kErrIoDevice:
            return "Input/output error";
        case kScanCancelled:
            return "Stopped by the user";
        case kErrEngineGeneric:
            return "The recovery engine could not complete the operation";
        case kErrUnsupportedLayout:
            return "The file's layout on the medium is not supported";
        default:
            return "Error " + std::to_string(r);
    }
}

}  // namespace norvale
