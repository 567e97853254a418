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

std::string ResultText(Result r) {
    switch (r) {
        case kOk:
            return "Success";
        case kErrInvalidFunction:
            return "Incorrect function";
        case kErrFileNotFound:
            return "The system cannot find the file specified";
        case kErrPathNotFound:
            return "The system cannot find the path specified";
        case kErrTooManyOpenFiles:
            return "Too many open files";
        case kErrAccessDenied:
            return "Access is denied";
        case kErrInvalidHandle:
            return "The handle is invalid";
        case kErrNotEnoughMemory:
            return "Not enough memory to complete the operation";
        case kErrNotReady:
            return "The device is not ready";
        case kErrCrc:
            return "Data error (cyclic redundancy check)";
        case kErrSectorNotFound:
            return "The drive cannot find the sector requested";
        case kErrWriteFault:
            return "The system cannot write to the specified device";
        case kErrReadFault:
            return "The system cannot read from the specified device";
        case kErrGenFailure:
            return "A device attached to the system is not functioning";
        case kErrSharingViolation:
            return "The file is being used by another process";
        case kErrHandleEof:
            return "Reached the end of the file";
        case kErrNotSupported:
            return "The request is not supported";
        case kErrFileExists:
            return "The file exists";
        case kErrInvalidParameter:
            return "The parameter is incorrect";
        case kErrBrokenPipe:
            return "The pipe has been ended";
        case kErrDiskFull:
            return "There is not enough space on the disk";
        case kErrInsufficientBuffer:
            return "The data area passed is too small";
        case kErrInvalidName:
            return "The file name, folder name or volume label syntax is incorrect";
        case kErrDirNotEmpty:
            return "The directory is not empty";
        case kErrBusy:
            return "The requested resource is in use";
        case kErrAlreadyExists:
            return "Cannot create a file when that file already exists";
        case kErrFilenameTooLong:
            return "The file name is too long";
        case kErrMoreData:
            return "More data is available";
        case kErrDirectoryName:
            return "The directory name is invalid";
        case kErrNoMediaInDrive:
            return "There is no media in the drive";
        case kErrIoDevice:
            return "The request could not be performed because of an I/O device error";
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
