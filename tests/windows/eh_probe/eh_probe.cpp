// A DLL built exactly as xmp_plovane.dll is (same compiler flags, static
// runtimes, link options and terminate handler) around the same engine, with
// one registration whose callback throws a C++ exception. The end-to-end
// test presses its key for real: if the way the DLL is built broke
// unwinding, the throw would end the process instead of the worker's cycle.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <stdexcept>

#include "global_hotkeys.h"

namespace {

volatile LONG Throws = 0;

void ThrowOnPress(int32_t) {
    InterlockedIncrement(&Throws);
    throw std::runtime_error("callback failure");
}

}  // namespace

extern "C" __declspec(dllexport) BOOL ProbeRegister(WORD vk) {
    return global_hotkeys::AddHotkey(1, 0, vk, ThrowOnPress) ? TRUE : FALSE;
}

extern "C" __declspec(dllexport) LONG ProbeThrows() { return Throws; }

extern "C" __declspec(dllexport) BOOL ProbeRemove() { return global_hotkeys::RemoveHotkey(1) ? TRUE : FALSE; }

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) global_hotkeys::HotkeysStartup();
    if (reason == DLL_PROCESS_DETACH) global_hotkeys::HotkeysShutdown(reserved != nullptr);
    return TRUE;
}
