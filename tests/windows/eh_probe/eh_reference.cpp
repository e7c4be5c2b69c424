// The baseline for the handle counts: a DLL without the engine that does
// nothing but contain a try/catch, built like xmp_plovane.dll. MinGW's
// statically linked unwinder registers such a DLL's frames at load with a
// mutex whose semaphore is never closed, so every load costs one handle
// before any code of ours runs; ReferenceThrowOnce shows what a DLL that has
// thrown costs on top.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

namespace {
void (*volatile Probe)() = nullptr;
}

extern "C" __declspec(dllexport) void ReferenceThrowOnce() {
    try {
        throw 1;
    } catch (int) {
    }
}

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH && Probe != nullptr) {
        try {
            Probe();
        } catch (...) {
        }
    }
    return TRUE;
}
