// A general caller of global_hotkeys: a DLL around the same engine, built as
// such a caller would build it, with MinGW's C and C++ runtimes inside and
// the engine that catches callbacks' exceptions (the same compiler, flags
// and link options as xmp_plovane.dll otherwise). The end-to-end tests press
// its key for real. Its callbacks throw (if the way the DLL is built broke unwinding, the
// throw would end the process instead of the worker's cycle), or keep the
// heap or the unwinder busy for a while, so that the library can be unloaded
// while they hold the system's locks.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "global_hotkeys.h"
#include "poller.h"
#include "static_runtime.h"

namespace {

volatile LONG Calls = 0;
volatile LONG InCallback = 0;

// A plain type: the probe should carry no more of the C++ library than the
// plug-in does.
struct TCallbackFailure {
    int32_t Id;
};

void ThrowOnPress(int32_t id) {
    InterlockedIncrement(&Calls);
    throw TCallbackFailure{id};
}

// Runs `step` over and over for BUSY_MS.
constexpr double BUSY_MS = 20;
template <class TStep>
void BusyFor(TStep step) {
    InterlockedExchange(&InCallback, 1);
    LARGE_INTEGER start, now, frequency;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    do {
        step();
        QueryPerformanceCounter(&now);
    } while (1000.0 * static_cast<double>(now.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart) <
             BUSY_MS);
    InterlockedIncrement(&Calls);
    InterlockedExchange(&InCallback, 0);
}

volatile char Sink;

// The host's counters of the unloads' paths (indexed by TShutdownPath):
// they outlive this DLL.
LONG* ShutdownCounts = nullptr;

// Spins for a while without the heap or the unwinder: a callback busy past
// the unload's grace, holding no lock of the system's.
void SpinOnPress(int32_t) {
    InterlockedExchange(&InCallback, 1);
    LARGE_INTEGER start, now, frequency;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    do QueryPerformanceCounter(&now);
    while (now.QuadPart - start.QuadPart < frequency.QuadPart / 2);
    InterlockedIncrement(&Calls);
    InterlockedExchange(&InCallback, 0);
}

void AllocateOnPress(int32_t) {
    BusyFor([] {
        for (int size = 16; size <= 65536; size *= 4) {
            char* block = new char[static_cast<size_t>(size)];
            block[size - 1] = 1;
            Sink = block[size - 1];
            delete[] block;
        }
    });
}

void ThrowAndCatchOnce(int32_t id) {
    try {
        throw TCallbackFailure{id};
    } catch (const TCallbackFailure& failure) {
        Sink = static_cast<char>(failure.Id);
    }
}

void ThrowAndCatchOnPress(int32_t id) {
    BusyFor([id] { ThrowAndCatchOnce(id); });
}

}  // namespace

// mode 0: the callback throws once per press; 1: it allocates and frees for
// 20 ms; 2: it throws and catches for 20 ms; 3: it spins for 500 ms.
extern "C" __declspec(dllexport) BOOL ProbeRegister(WORD vk, int mode) {
    const global_hotkeys::THotkeyCallback callbacks[] = {ThrowOnPress, AllocateOnPress, ThrowAndCatchOnPress,
                                                         SpinOnPress};
    if (mode < 0 || mode > 3) return FALSE;
    return global_hotkeys::AddHotkey(1, 0, vk, callbacks[mode]) ? TRUE : FALSE;
}

extern "C" __declspec(dllexport) LONG ProbeCalls() { return Calls; }

// Throws and catches once on the calling thread: what the runtime keeps of a
// DLL that has thrown, apart from the engine.
extern "C" __declspec(dllexport) void ProbeThrowOnce() { ThrowAndCatchOnce(0); }

extern "C" __declspec(dllexport) BOOL ProbeInCallback() { return InCallback != 0; }

extern "C" __declspec(dllexport) BOOL ProbeRemove() { return global_hotkeys::RemoveHotkey(1) ? TRUE : FALSE; }

// Whether the worker has reached its loop (it writes its id as it starts).
extern "C" __declspec(dllexport) BOOL ProbeWorkerStarted() { return global_hotkeys::Poller.ThreadId != 0; }

// counts[path] goes up by one at this DLL's unload, for the path it took.
extern "C" __declspec(dllexport) void ProbeCountShutdowns(LONG* counts) { ShutdownCounts = counts; }

// The host's record of this DLL's unload: the performance counter as the
// entry routine's process detach begins and as the engine's shut-down ends.
LONGLONG* UnloadTimes = nullptr;
extern "C" __declspec(dllexport) void ProbeTimeUnload(LONGLONG* times) { UnloadTimes = times; }

LONGLONG CounterNow() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) global_hotkeys::HotkeysStartup();
    if (reason == DLL_PROCESS_DETACH) {
        if (UnloadTimes != nullptr) UnloadTimes[0] = CounterNow();
        global_hotkeys::HotkeysShutdown(reserved != nullptr);
        if (UnloadTimes != nullptr) UnloadTimes[1] = CounterNow();
        if (ShutdownCounts != nullptr) InterlockedIncrement(&ShutdownCounts[global_hotkeys::Poller.LastShutdown]);
        if (reserved == nullptr) ReleaseStaticRuntime();
    }
    return TRUE;
}
