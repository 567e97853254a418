// Built by the test suite, not linked: a call whose result is dropped must not compile, while
// the ways of using a result that the code base relies on must.
#include "device/result.h"

namespace {

norvale::Result Work(int fault) {
    return fault ? norvale::FromErrno(fault) : norvale::kOk;
}

}  // namespace

int main(int argc, char**) {
#ifdef DROP_RESULT
    Work(argc);
    return 0;
#else
    if (Work(argc) != norvale::kOk) return 1;
    (void)Work(argc);  // a deliberate discard says so
    norvale::Result r = Work(0);
    const int32_t stored = r;  // the number at the stored and command-line boundary
    switch (Work(argc)) {
        case norvale::kOk:
            return stored;
        case norvale::kErrIoDevice:
            return 2;
        default:
            return r == norvale::kScanCancelled ? 3 : 4;
    }
#endif
}
