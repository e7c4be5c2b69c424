// The DLL's entry point: hands the loader's notifications to LibraryEntry.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "plugin.h"
#include "static_runtime.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    // A non-null `reserved` at process detach: the process is exiting.
    const bool processEnding = reserved != nullptr;
    const bool result = xmp_plovane::LibraryEntry(reason, processEnding);
    if (reason == DLL_PROCESS_DETACH && !processEnding) ReleaseStaticRuntime();
    return result ? TRUE : FALSE;
}
