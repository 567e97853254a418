// Leak reports the sanitizer build should not raise for this test program: fontconfig keeps
// a few blocks of its configuration for the life of the process once Qt has asked it for
// fonts, and frees them in no exit path.

extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}
