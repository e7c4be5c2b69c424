// The DLL's entry routine, which is also the image's entry point: there is
// no C or C++ runtime to start or stop, so nothing runs at load before it or
// at unload after it but the loader's own work.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "plugin.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    // A non-null `reserved` at process detach: the process is exiting.
    const bool processEnding = reserved != nullptr;
    return xmp_plovane::LibraryEntry(reason, processEnding) ? TRUE : FALSE;
}
