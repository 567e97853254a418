#pragma once
// Result numbers shared by every layer. They keep the numbering of the platform the recovery
// logs and the callers were designed around (0 for success, the classic system error numbers
// for failures, a few negative engine values), so stored results and messages stay comparable.
// Operating-system errors are translated once, at the boundary, with FromErrno.

#include <cstdint>
#include <string>

namespace norvale {

// A result number. It converts to and from its number so that stored results, switches and
// comparisons read as before, but a call whose result is dropped does not compile: every caller
// handles it or says with (void) that it deliberately does not care.
class [[nodiscard]] Result {
  public:
    constexpr Result() = default;
    constexpr Result(int32_t value) : value_(value) {}  // NOLINT: a number is a result
    constexpr operator int32_t() const { return value_; }
    constexpr int32_t Value() const { return value_; }

  private:
    int32_t value_ = 0;
};

inline constexpr Result kOk = 0;
inline constexpr Result kErrInvalidFunction = 1;
inline constexpr Result kErrFileNotFound = 2;
inline constexpr Result kErrPathNotFound = 3;
inline constexpr Result kErrTooManyOpenFiles = 4;
inline constexpr Result kErrAccessDenied = 5;
inline constexpr Result kErrInvalidHandle = 6;
inline constexpr Result kErrNotEnoughMemory = 8;
inline constexpr Result kErrNotReady = 21;
inline constexpr Result kErrCrc = 23;
inline constexpr Result kErrSectorNotFound = 27;
inline constexpr Result kErrWriteFault = 29;
inline constexpr Result kErrReadFault = 30;
inline constexpr Result kErrGenFailure = 31;
inline constexpr Result kErrSharingViolation = 32;
inline constexpr Result kErrHandleEof = 38;
inline constexpr Result kErrNotSupported = 50;
inline constexpr Result kErrFileExists = 80;
inline constexpr Result kErrInvalidParameter = 87;
inline constexpr Result kErrBrokenPipe = 109;
inline constexpr Result kErrDiskFull = 112;
inline constexpr Result kErrInsufficientBuffer = 122;
inline constexpr Result kErrInvalidName = 123;
inline constexpr Result kErrDirNotEmpty = 145;
inline constexpr Result kErrBusy = 170;
inline constexpr Result kErrAlreadyExists = 183;
inline constexpr Result kErrFilenameTooLong = 206;
inline constexpr Result kErrMoreData = 234;
inline constexpr Result kErrDirectoryName = 267;
inline constexpr Result kErrIoDevice = 1117;
inline constexpr Result kErrNoMediaInDrive = 1112;

// Engine-specific values.
inline constexpr Result kScanCancelled = -9527;        // a progress callback asked to stop
inline constexpr Result kErrEngineGeneric = -1;        // an engine gave up without a system cause
inline constexpr Result kErrUnsupportedLayout = -100;  // structure the engine cannot follow

// Maps an errno value to the result number callers expect (EACCES -> 5, EIO -> 1117, ...).
// Unknown values map to kErrGenFailure; 0 maps to kOk.
Result FromErrno(int err);

// One line of text for a result number, as detail lists and command-line messages show it.
std::string ResultText(Result r);

}  // namespace norvale
