// What the end-to-end cases share: this program is the player. It loads the
// DLL from its own folder, binds it with its own GetHostTable, owns the main
// window the shortcuts go to, and injects key presses with keybd_event. A
// watchdog (e2e_test.cpp) ends the process if a case hangs.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <string>

#include "host_kit.h"

namespace e2e {

using namespace host_kit;

constexpr DWORD HANG_LIMIT_MS = 30000;  // without progress
constexpr DWORD DELIVERY_LIMIT_MS = 3000;  // a press reaches the window well within this
constexpr DWORD QUIET_MS = 350;            // more than three worker cycles
// The probe carries MinGW's runtime, as a general caller's DLL would: its
// 32-bit unwinder (DWARF-2) registers the DLL's frames at load with a
// semaphore it never closes (eh_reference.dll beside the probe shows it);
// the 64-bit one unwinds through the system's tables. xmp_plovane.dll
// carries no runtime, and nothing is subtracted for it.
constexpr long PROBE_RUNTIME_HANDLES_PER_LOAD = sizeof(void*) == 4 ? 1 : 0;

// A worker left suspended keeps exactly its two events; the system may keep
// one more handle for it (under Wine, mostly, the thread's message queue).
constexpr long EVENTS_PER_SUSPENDED_WORKER = 2;
constexpr long HANDLES_PER_SUSPENDED_WORKER_AT_MOST = 3;

// The watchdog ends the process when no progress was reported for
// HANG_LIMIT_MS: each case reports at its start, long loops at every turn.
inline std::atomic<DWORD> LastProgress{0};
inline void Progress() { LastProgress = GetTickCount(); }

// Wine starts threads of its own now and then, so workers are counted as
// the threads with the plug-in's code on their stacks.
inline bool WorkersSettleAt(int expected) {
    return PumpUntil([expected] { return ThreadsInModule(GetModuleHandleA("xmp_plovane.dll")) == expected; }, 2000);
}

inline bool PumpUntilShortcuts(size_t count) {
    return PumpUntil([count] { return Shortcuts.size() >= count; }, DELIVERY_LIMIT_MS);
}

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        Progress();
        Shortcuts.clear();
        ShortcutTimes.clear();
        HostTableRequests.clear();
        HandledOffThread = NotFromWorker = 0;
        OnShortcut = nullptr;
        OnAppMessage = nullptr;
        ReleaseMediaKeys();
    }
    void TearDown() override {
        ReleaseMediaKeys();
        Plugin.Unload();
        EXPECT_EQ(HandledOffThread, 0) << "a shortcut was handled off the host's thread";
        EXPECT_EQ(NotFromWorker, 0) << "a shortcut did not come from another thread";
    }
    // Wine starts a thread of its own on the first load; a full cycle first
    // keeps it out of the counts.
    int ThreadBaseline() {
        TPlugin warmUp;
        if (!warmUp.Load() || !warmUp.Bind()) return -1;
        warmUp.Create();
        warmUp.Free();
        warmUp.Unload();
        return SettledThreadCount();
    }
    void LoadBindCreate() {
        ASSERT_TRUE(Plugin.Load()) << "cannot load " << DllPath();
        ASSERT_TRUE(Plugin.Bind());
        ASSERT_EQ(Plugin.Create(), reinterpret_cast<void*>(1));
    }
    TPlugin Plugin;
};

// --- plovane_eh_probe.dll: a general caller's DLL around the same engine,
// with MinGW's runtimes inside. Its callbacks throw, keep the heap or the
// unwinder busy, or spin; it counts the paths its unloads took.

constexpr BYTE VK_PROBE = VK_F24;
enum TProbeMode { PROBE_THROW_ONCE, PROBE_ALLOCATE_20_MS, PROBE_THROW_AND_CATCH_20_MS, PROBE_SPIN_500_MS };
// The engine's TShutdownPath.
enum {
    PATH_NO_WORKER,
    PATH_ENDED_BEFORE_START,
    PATH_ENDED_AT_PARK,
    PATH_WORKER_LEFT,
    PATH_WORKER_TERMINATED,
    PATH_COUNT
};

inline std::string BesideTheTests(const char* name) {
    return DllPath().substr(0, DllPath().find_last_of("\\/") + 1) + name;
}

struct TProbe {
    HMODULE Module = nullptr;
    BOOL (*Register)(WORD vk, int mode) = nullptr;
    LONG (*Calls)() = nullptr;
    BOOL (*InCallback)() = nullptr;
    BOOL (*Remove)() = nullptr;
    void (*ThrowOnce)() = nullptr;
    void (*CountShutdowns)(LONG* counts) = nullptr;
    BOOL (*WorkerStarted)() = nullptr;

    bool Load() {
        Module = LoadLibraryA(BesideTheTests("plovane_eh_probe.dll").c_str());
        if (Module == nullptr) return false;
        Register = reinterpret_cast<BOOL (*)(WORD, int)>(Resolve("ProbeRegister"));
        Calls = reinterpret_cast<LONG (*)()>(Resolve("ProbeCalls"));
        InCallback = reinterpret_cast<BOOL (*)()>(Resolve("ProbeInCallback"));
        Remove = reinterpret_cast<BOOL (*)()>(Resolve("ProbeRemove"));
        ThrowOnce = reinterpret_cast<void (*)()>(Resolve("ProbeThrowOnce"));
        CountShutdowns = reinterpret_cast<void (*)(LONG*)>(Resolve("ProbeCountShutdowns"));
        WorkerStarted = reinterpret_cast<BOOL (*)()>(Resolve("ProbeWorkerStarted"));
        return Register != nullptr && Calls != nullptr && InCallback != nullptr && Remove != nullptr &&
               ThrowOnce != nullptr && CountShutdowns != nullptr && WorkerStarted != nullptr;
    }
    void* Resolve(const char* name) const { return reinterpret_cast<void*>(GetProcAddress(Module, name)); }
    void Unload() {
        FreeLibrary(Module);
        Module = nullptr;
    }
};

}  // namespace e2e
