// The DLL's entry point: hands the loader's notifications to LibraryEntry.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "plugin.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    // A non-null `reserved` at process detach: the process is exiting.
    return xmp_plovane::LibraryEntry(reason, reserved != nullptr) ? TRUE : FALSE;
}
