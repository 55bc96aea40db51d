#pragma once
// Include in exactly one source file of a test program that runs Qt WebEngine. Under
// AddressSanitizer: Chromium inside Qt WebEngine deletes some of its own objects through a pointer
// of another size, and it and fontconfig keep process-lifetime allocations that the leak checker
// reports. That is the libraries' code; every check stays on for ours.
extern "C" const char* __asan_default_options() { return "new_delete_type_mismatch=0"; }
extern "C" const char* __lsan_default_suppressions() { return "leak:libQt6WebEngineCore.so\nleak:libfontconfig.so\n"; }
