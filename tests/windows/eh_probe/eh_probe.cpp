// A DLL built exactly as xmp_plovane.dll is (same compiler flags, static
// runtimes, link options and terminate handler) around the same engine, with
// one registration whose callback throws a C++ exception. The end-to-end
// test presses its key for real: if the way the DLL is built broke
// unwinding, the throw would end the process instead of the worker's cycle.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "global_hotkeys.h"

namespace {

volatile LONG Throws = 0;

// A plain type: the probe should carry no more of the C++ library than the
// plug-in does.
struct TCallbackFailure {
    int32_t Id;
};

void ThrowOnPress(int32_t id) {
    InterlockedIncrement(&Throws);
    throw TCallbackFailure{id};
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
