// End-to-end tests of the real xmp_plovane.dll: this program is the player.
// It loads the DLL from its own folder, binds it with its own GetHostTable,
// owns the main window the shortcuts go to, and injects key presses with
// keybd_event. A watchdog ends the process if a case hangs.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "host_kit.h"
#include "plovane_version.h"

namespace {

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

// A worker left suspended keeps its two events; under Wine the thread's
// message queue also has a handle of its own in the process.
const bool UNDER_WINE =
    GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
const long HANDLES_PER_SUSPENDED_WORKER = UNDER_WINE ? 3 : 2;

// The watchdog ends the process when no progress was reported for
// HANG_LIMIT_MS: each case reports at its start, long loops at every turn.
std::atomic<DWORD> LastProgress{0};
void Progress() { LastProgress = GetTickCount(); }

bool PumpUntilShortcuts(size_t count) {
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

TEST_F(EndToEnd, EachMediaKeySendsItsShortcutOncePerPressHoweverLongHeld) {
    LoadBindCreate();
    for (size_t i = 0; i < 4; ++i) {
        KeyDown(MEDIA_KEYS[i]);
        ASSERT_TRUE(PumpUntilShortcuts(i + 1)) << "key " << int(MEDIA_KEYS[i]) << " sent nothing";
        PumpFor(QUIET_MS);  // still held
        KeyUp(MEDIA_KEYS[i]);
        PumpFor(150);
        ASSERT_EQ(Shortcuts.size(), i + 1) << "key " << int(MEDIA_KEYS[i]) << " sent more than once";
        EXPECT_EQ(Shortcuts[i], MEDIA_SHORTCUTS[i]);
    }
}

TEST_F(EndToEnd, TapsShorterThanACycleCountOnceEach) {
    LoadBindCreate();
    for (size_t i = 1; i <= 5; ++i) {
        Tap(VK_MEDIA_PREV_TRACK);
        ASSERT_TRUE(PumpUntilShortcuts(i)) << "tap " << i << " was missed";
        PumpFor(150);
        ASSERT_EQ(Shortcuts.size(), i) << "tap " << i << " counted twice";
    }
    EXPECT_EQ(Shortcuts, std::vector<WPARAM>(5, HOST_SHORTCUT_PREVIOUS_TRACK));
}

// Next and Stop go down while the worker waits inside its Play/Pause send:
// Play/Pause is the last entry of the scan under way, so the next scan is the
// first to see them, both together.
void PressNextThenStopOnce(WPARAM shortcut) {
    if (shortcut != HOST_SHORTCUT_PLAY_PAUSE) return;
    KeyDown(VK_MEDIA_NEXT_TRACK);
    KeyDown(VK_MEDIA_STOP);
    OnShortcut = nullptr;
}

TEST_F(EndToEnd, StopGoesBeforeNextWhenBothGoDownInOneCycle) {
    LoadBindCreate();
    OnShortcut = PressNextThenStopOnce;
    Tap(VK_MEDIA_PLAY_PAUSE);
    ASSERT_TRUE(PumpUntilShortcuts(3));
    EXPECT_EQ(Shortcuts, (std::vector<WPARAM>{HOST_SHORTCUT_PLAY_PAUSE, HOST_SHORTCUT_STOP, HOST_SHORTCUT_NEXT_TRACK}));
}

TEST_F(EndToEnd, NothingIsSentBeforeCreateInstanceOrAfterFreeInstance) {
    ASSERT_TRUE(Plugin.Load());
    ASSERT_TRUE(Plugin.Bind());
    Tap(VK_MEDIA_PLAY_PAUSE);
    PumpFor(QUIET_MS);
    EXPECT_TRUE(Shortcuts.empty());
    Plugin.Create();
    Tap(VK_MEDIA_PLAY_PAUSE);
    ASSERT_TRUE(PumpUntilShortcuts(1));
    Plugin.Free();
    Tap(VK_MEDIA_PLAY_PAUSE);
    KeyDown(VK_MEDIA_STOP);
    PumpFor(QUIET_MS);
    EXPECT_EQ(Shortcuts.size(), 1u);
}


TEST_F(EndToEnd, FreeInstanceWhileTheWorkersMessageIsPendingCompletes) {
    LoadBindCreate();
    const int withoutWorker = SettledThreadCount() - 1;
    for (int round = 1; round <= 3; ++round) {
        KeyDown(VK_MEDIA_PLAY_PAUSE);
        ASSERT_TRUE(WaitForPendingSend(DELIVERY_LIMIT_MS)) << "the worker sent nothing";
        Plugin.Free();
        EXPECT_EQ(Shortcuts.size(), static_cast<size_t>(round)) << "the pending message was not handled once";
        EXPECT_TRUE(ThreadCountSettlesAt(withoutWorker)) << "the worker is still there";
        KeyUp(VK_MEDIA_PLAY_PAUSE);
        PumpFor(150);
        EXPECT_EQ(Shortcuts.size(), static_cast<size_t>(round));
        if (round < 3) Plugin.Create();
    }
}

// Counted against the process with the library loaded, since Wine itself
// may keep a thread for a loaded library.
TEST_F(EndToEnd, TheWorkerRunsFromLoadAndIsGoneAfterFreeInstance) {
    const int unloaded = ThreadBaseline();
    ASSERT_TRUE(Plugin.Load());
    ASSERT_TRUE(Plugin.Bind());
    const int loaded = SettledThreadCount();
    EXPECT_GT(loaded, unloaded);
    Plugin.Create();
    EXPECT_EQ(ThreadCount(), loaded) << "the instance started another worker";
    Plugin.Free();
    EXPECT_TRUE(ThreadCountSettlesAt(loaded - 1)) << "the worker outlived FreeInstance";
    Plugin.Create();
    EXPECT_TRUE(ThreadCountSettlesAt(loaded)) << "no new worker";
    Tap(VK_MEDIA_NEXT_TRACK);
    EXPECT_TRUE(PumpUntilShortcuts(1));
    Plugin.Free();
    EXPECT_TRUE(ThreadCountSettlesAt(loaded - 1));
    Plugin.Unload();
    EXPECT_LE(SettledThreadCount(), loaded - 1) << "unloading without a worker started one";
}

TEST_F(EndToEnd, UnloadingWithTheInstanceLiveLeavesTheKeysDead) {
    LoadBindCreate();
    Tap(VK_MEDIA_NEXT_TRACK);
    ASSERT_TRUE(PumpUntilShortcuts(1));
    Plugin.Unload();
    Tap(VK_MEDIA_NEXT_TRACK);
    KeyDown(VK_MEDIA_PLAY_PAUSE);
    PumpFor(QUIET_MS);
    EXPECT_EQ(Shortcuts.size(), 1u);
}

// 100 load/unload cycles in each way a host may unload. Only a worker that
// waits for the unloading thread inside its callback (here: its message
// pending) may stay, suspended, with its two events.
TEST_F(EndToEnd, LoadUnloadCyclesInEveryMode) {
    constexpr int CYCLES = 100;
    const struct {
        TUnloadMode Mode;
        const char* Name;
        int ThreadsTarget;
    } modes[] = {
        {UNLOAD_RIGHT_AFTER_LOAD, "right after load", 0},
        {UNLOAD_AFTER_CREATE_AND_FREE, "after create and free", 0},
        {UNLOAD_INSTANCE_LIVE_WORKER_IDLE, "instance live, worker idle", 0},
        {UNLOAD_MESSAGE_PENDING, "message pending", CYCLES},
    };
    std::mt19937 random(2026);
    ThreadBaseline();
    TLeftBehind left[4];
    for (int m = 0; m < 4; ++m) {
        Progress();
        ASSERT_TRUE(LoadUnloadCycles(
            modes[m].Mode, CYCLES,
            [&] {
                Progress();  // a mode's 100 cycles can outlast the watchdog in the emulated PC
                return static_cast<DWORD>(20 + random() % 40);
            },
            left[m]))
            << modes[m].Name;
    }
    for (int m = 0; m < 4; ++m) {
        std::printf("%d unloads, %-27s threads left %3d, handles left %4ld, "
                    "private address space left %7.1f MiB\n",
                    CYCLES, modes[m].Name, left[m].Threads, left[m].Handles, left[m].AddressSpaceMiB);
        EXPECT_EQ(left[m].Threads, modes[m].ThreadsTarget) << modes[m].Name;
        if (modes[m].ThreadsTarget == 0) {
            EXPECT_EQ(left[m].Handles, 0) << modes[m].Name;
        }
    }
    EXPECT_EQ(left[3].Handles, HANDLES_PER_SUSPENDED_WORKER * CYCLES);
    EXPECT_EQ(Shortcuts.size(), static_cast<size_t>(CYCLES)) << "one press per pending unload, handled once";
}

// --- plovane_eh_probe.dll is built exactly as xmp_plovane.dll is, around
// the same engine: a general caller. Its callbacks throw, keep the heap or
// the unwinder busy, or spin; it counts the paths its unloads took.

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

std::string BesideTheTests(const char* name) {
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

// The probe loaded and unloaded `cycles` times, right after load (at once
// or a moment later) or with its worker parked on a registered key;
// `counts` by the path each unload took.
bool CountProbeUnloadPaths(bool parked, int cycles, std::mt19937& random, LONG (&counts)[PATH_COUNT]) {
    for (int cycle = 0; cycle < cycles; ++cycle) {
        Progress();
        TProbe probe;
        if (!probe.Load()) return false;
        probe.CountShutdowns(counts);
        if (parked) {
            // Parked: started, registered, and a moment into its wait.
            if (!probe.Register(VK_PROBE, PROBE_THROW_ONCE)) return false;
            if (!PumpUntil([&] { return probe.WorkerStarted() != FALSE; }, DELIVERY_LIMIT_MS)) return false;
            PumpFor(2 + random() % 10);
        } else if (random() % 2 != 0) {
            Sleep(random() % 4);
        }
        probe.Unload();
    }
    return true;
}

// Thousands of unloads in one process, in the two ways that used to end the
// worker by force, each of which kept about 3 MiB: every worker must leave by
// its own exit, keeping (almost) nothing, and the process must still have
// room for a working instance afterwards. The probe's unloads, made the
// same way, show which paths of the unload ran: right after load both (the
// worker not started yet, and started), with the worker parked the latter.
void ThousandsOfUnloadsLeaveRoomForAWorkingInstance(TUnloadMode mode, TPlugin& plugin) {
    constexpr int CYCLES = 2000;
    constexpr double MIB_PER_100_LIMIT = 5;
    std::mt19937 random(2000 + mode);
    TLeftBehind left;
    ASSERT_TRUE(LoadUnloadCycles(
        mode, CYCLES,
        [&] {
            Progress();
            return static_cast<DWORD>(2 + random() % 10);
        },
        left));
    std::printf("%d unloads: threads left %d, handles left %ld, "
                "private address space left %.1f MiB (%.2f per 100)\n",
                CYCLES, left.Threads, left.Handles, left.AddressSpaceMiB, left.AddressSpaceMiB * 100 / CYCLES);
    EXPECT_EQ(left.Threads, 0);
    EXPECT_EQ(left.Handles, 0);
    EXPECT_LE(left.AddressSpaceMiB * 100 / CYCLES, MIB_PER_100_LIMIT);

    constexpr int PROBE_CYCLES = 500;
    const bool parked = mode == UNLOAD_INSTANCE_LIVE_WORKER_IDLE;
    LONG paths[PATH_COUNT] = {};
    const int threads = SettledThreadCount();
    ASSERT_TRUE(CountProbeUnloadPaths(parked, PROBE_CYCLES, random, paths));
    std::printf("%d unloads of the probe: %ld ended the worker before its start, %ld at its park, %ld left it, "
                "%ld found none\n",
                PROBE_CYCLES, paths[PATH_ENDED_BEFORE_START], paths[PATH_ENDED_AT_PARK], paths[PATH_WORKER_LEFT],
                paths[PATH_NO_WORKER]);
    EXPECT_EQ(SettledThreadCount(), threads) << "a probe's worker was left behind";
    EXPECT_EQ(paths[PATH_WORKER_LEFT] + paths[PATH_WORKER_TERMINATED] + paths[PATH_NO_WORKER], 0);
    EXPECT_GT(paths[PATH_ENDED_AT_PARK], 0) << "no unload ended a started worker";
    if (parked) {
        EXPECT_EQ(paths[PATH_ENDED_AT_PARK], PROBE_CYCLES);
    } else {
        EXPECT_GT(paths[PATH_ENDED_BEFORE_START], 0) << "no unload came before the worker started";
    }

    ASSERT_TRUE(plugin.Load());
    ASSERT_TRUE(plugin.Bind());
    ASSERT_EQ(plugin.Create(), reinterpret_cast<void*>(1));
    Tap(VK_MEDIA_NEXT_TRACK);
    EXPECT_TRUE(PumpUntilShortcuts(1)) << "no worker could start after the unloads";
}

TEST_F(EndToEnd, TwoThousandUnloadsRightAfterLoadKeepNothing) {
    ThreadBaseline();
    ThousandsOfUnloadsLeaveRoomForAWorkingInstance(UNLOAD_RIGHT_AFTER_LOAD, Plugin);
}

TEST_F(EndToEnd, TwoThousandUnloadsWithTheInstanceLiveAndTheWorkerParkedKeepNothing) {
    ThreadBaseline();
    ThousandsOfUnloadsLeaveRoomForAWorkingInstance(UNLOAD_INSTANCE_LIVE_WORKER_IDLE, Plugin);
}

// --- The host's window procedures calling the plug-in from inside its waits
// for the worker. Another thread of the host sends the main window a message
// without waiting (SendNotifyMessage); the host's thread handles it the next
// time it services sent messages: inside CreateInstance or FreeInstance.

constexpr UINT FREE_INSTANCE = WM_APP + 1;
constexpr UINT CREATE_FREE_CREATE = WM_APP + 2;
TPlugin* ReentryPlugin = nullptr;
int ReentryRuns = 0;
void RunReentry(UINT message) {
    ++ReentryRuns;
    if (message == FREE_INSTANCE) ReentryPlugin->Free();
    if (message == CREATE_FREE_CREATE) {
        ReentryPlugin->Create();
        ReentryPlugin->Free();
        ReentryPlugin->Create();
    }
}

TEST_F(EndToEnd, HostCallsDuringThePlugInsWaitsLeaveExactlyOneLiveInstance) {
    ASSERT_TRUE(Plugin.Load());
    ASSERT_TRUE(Plugin.Bind());
    const int withWorker = SettledThreadCount();
    ReentryPlugin = &Plugin;
    OnAppMessage = RunReentry;
    auto expectOneLiveInstance = [&](size_t before) {
        EXPECT_TRUE(ThreadCountSettlesAt(withWorker)) << "not exactly one worker";
        Tap(VK_MEDIA_NEXT_TRACK);
        ASSERT_TRUE(PumpUntilShortcuts(before + 1)) << "the keys are dead";
        PumpFor(QUIET_MS);
        ASSERT_EQ(Shortcuts.size(), before + 1) << "a press sent more than once";
        EXPECT_EQ(Shortcuts.back(), static_cast<WPARAM>(HOST_SHORTCUT_NEXT_TRACK));
    };

    // CreateInstance waits for the lock, which the worker holds while its
    // message is pending; the handler frees the first instance, and so
    // stops that worker and frees that lock.
    Plugin.Create();
    KeyDown(VK_MEDIA_PLAY_PAUSE);
    ASSERT_TRUE(WaitForPendingSend(DELIVERY_LIMIT_MS));
    KeyUp(VK_MEDIA_PLAY_PAUSE);
    NotifyFromAnotherThread(FREE_INSTANCE);
    EXPECT_EQ(Plugin.Create(), reinterpret_cast<void*>(1));
    EXPECT_EQ(ReentryRuns, 1);
    EXPECT_EQ(Shortcuts.size(), 1u) << "the pending message was not handled once";
    expectOneLiveInstance(1);

    // FreeInstance's last removal waits for the stopping worker; the handler
    // creates an instance, frees it (a stop nested in the stop) and creates
    // another, whose keys must get a worker.
    NotifyFromAnotherThread(CREATE_FREE_CREATE);
    Plugin.Free();
    EXPECT_EQ(ReentryRuns, 2);
    expectOneLiveInstance(2);

    Plugin.Free();
    EXPECT_TRUE(ThreadCountSettlesAt(withWorker - 1)) << "the worker outlived the last FreeInstance";
}

// --- Soak forms: short here; PLOVANE_SOAK=long (the benchmark command)
// runs the long ones.

int SoakScale(int shortForm, int longForm) {
    const char* soak = std::getenv("PLOVANE_SOAK");
    return soak != nullptr && std::strcmp(soak, "long") == 0 ? longForm : shortForm;
}

TEST_F(EndToEnd, SoakFreeInstanceAtRandomMomentsOfTheDelivery) {
    const int trials = SoakScale(100, 1000);
    LoadBindCreate();
    std::mt19937 random(7);
    int caughtPending = 0;
    for (int trial = 0; trial < trials; ++trial) {
        Progress();
        PumpFor(random() % 100);  // a random phase of the new worker's cycle
        const size_t before = Shortcuts.size();
        KeyDown(VK_MEDIA_PLAY_PAUSE);
        // The moment: before the worker's scan, while its send is on the way
        // or waiting here, or after; nothing is handled meanwhile.
        Sleep(random() % 130);
        const bool pending = SentMessageWaiting();
        Plugin.Free();
        const size_t handled = Shortcuts.size() - before;
        ASSERT_LE(handled, 1u) << "trial " << trial << ": a press handled twice";
        if (pending) {
            ASSERT_EQ(handled, 1u) << "trial " << trial << ": the pending message was lost";
            ++caughtPending;
        }
        KeyUp(VK_MEDIA_PLAY_PAUSE);
        PumpFor(2);
        ASSERT_EQ(Shortcuts.size(), before + handled) << "trial " << trial << ": a message after FreeInstance";
        Plugin.Create();
    }
    std::printf("%d trials, %d with the message pending at FreeInstance\n", trials, caughtPending);
    EXPECT_GT(caughtPending, trials / 10) << "too few trials caught the message pending";
}

TEST_F(EndToEnd, SoakLoadUnloadWithRandomLifetimesAndKeys) {
    const int cycles = SoakScale(100, 1000);
    std::mt19937 random(31);
    ThreadBaseline();
    const int threads = SettledThreadCount();
    const long handles = HandleCount();
    // Unloads the design answers by leaving a suspended worker: while it
    // waits inside a callback.
    int abandoned = 0;
    for (int cycle = 0; cycle < cycles; ++cycle) {
        Progress();
        ASSERT_TRUE(Plugin.Load());
        const int plan = static_cast<int>(random() % 4);
        bool pending = false;
        if (plan > 0) {
            ASSERT_TRUE(Plugin.Bind());
            Plugin.Create();
            const DWORD until = GetTickCount() + random() % 80;
            while (GetTickCount() < until) {
                if (random() % 4 == 0) Tap(MEDIA_KEYS[random() % 4]);
                PumpFor(5);
            }
            if (plan == 1) Plugin.Free();
            if (plan == 2) PumpFor(150);  // the last tap handled: the worker idle at unload
            if (plan == 3) {
                KeyDown(VK_MEDIA_NEXT_TRACK);
                pending = WaitForPendingSend(DELIVERY_LIMIT_MS);
            }
        }
        if (pending) ++abandoned;
        Plugin.Unload();
        ReleaseMediaKeys();
        PumpFor(1);
    }
    const int threadsLeft = SettledThreadCount() - threads;
    const long handlesLeft = HandleCount() - handles;
    std::printf("%d load/unload cycles: %d threads and %ld handles left; %d unloads "
                "came while a worker waited in its callback\n",
                cycles, threadsLeft, handlesLeft, abandoned);
    EXPECT_EQ(threadsLeft, abandoned);
    // Every other worker left by its own exit and kept nothing.
    EXPECT_EQ(handlesLeft, HANDLES_PER_SUSPENDED_WORKER * threadsLeft);
}

// --- A general caller in the build we hand out: the probe's callbacks
// throw, or keep the heap or the unwinder busy, on a real press.

TEST_F(EndToEnd, ACallbackThrowingInTheShippedBuildLeavesTheWorkerRunning) {
    TProbe probe;
    ASSERT_TRUE(probe.Load()) << "cannot load plovane_eh_probe.dll";
    ASSERT_TRUE(probe.Register(VK_PROBE, PROBE_THROW_ONCE));

    // Held: the entry stays armed after each throw, so it fires every cycle.
    KeyDown(VK_PROBE);
    EXPECT_TRUE(PumpUntil([&] { return probe.Calls() >= 3; }, DELIVERY_LIMIT_MS)) << "throws seen: " << probe.Calls();
    KeyUp(VK_PROBE);
    PumpFor(QUIET_MS);
    const LONG afterRelease = probe.Calls();
    Tap(VK_PROBE);
    EXPECT_TRUE(PumpUntil([&] { return probe.Calls() > afterRelease; }, DELIVERY_LIMIT_MS))
        << "the worker stopped after the throws";
    EXPECT_TRUE(probe.Remove());
    probe.Unload();
}

// Sends a message to the host's window from another thread, once `go` is
// set, and waits for it to be handled: what a broadcast, or any other
// program's thread, does. Made ahead, so that the message comes at once.
DWORD WINAPI SendToMainWindowOnSignal(LPVOID go) {
    WaitForSingleObject(go, INFINITE);
    SendMessageA(MainWindow, WM_APP + 9, 0, 0);
    return 0;
}

// Unloaded while its callback allocates, or throws, for 20 ms: a worker
// stopped there would hold the heap's or the unwinder's lock, and the
// runtime's own shut-down after the entry routine needs them. The worker
// finishes its callback within the grace and leaves by its own exit; also
// when some other thread's message waits for the unloading thread meanwhile
// (the callback has not said it waits for that thread). A hang ends the case
// through the watchdog; a crash through the crash handler.
TEST_F(EndToEnd, UnloadWhileAGeneralCallbackAllocatesOrThrowsNeitherHangsNorLeavesAnything) {
    constexpr int TRIES = 50;
    std::mt19937 random(50);
    // What the runtime keeps per load of a DLL that has thrown, apart from
    // the engine: a reference DLL built the same way without it throws once
    // on this thread. (Under 64-bit Wine: a semaphore its first throw makes
    // and nothing closes.)
    auto handlesPerLoadOnceThrown = [] {
        const long before = HandleCount();
        for (int i = 0; i < 10; ++i) {
            const HMODULE reference = LoadLibraryA(BesideTheTests("eh_reference.dll").c_str());
            if (reference == nullptr) return -1L;
            const auto throwOnce =
                reinterpret_cast<void (*)()>(reinterpret_cast<void*>(GetProcAddress(reference, "ReferenceThrowOnce")));
            if (throwOnce == nullptr) return -1L;
            throwOnce();
            FreeLibrary(reference);
        }
        return (HandleCount() - before) / 10;
    };
    const long thrownRuntimeHandles = handlesPerLoadOnceThrown();
    ASSERT_GE(thrownRuntimeHandles, 0) << "cannot use eh_reference.dll";
    const int threads = SettledThreadCount();
    for (const bool otherMessagePending : {false, true}) {
        for (TProbeMode mode : {PROBE_ALLOCATE_20_MS, PROBE_THROW_AND_CATCH_20_MS}) {
            const long handles = HandleCount();
            int duringCallback = 0;
            for (int attempt = 0; attempt < TRIES; ++attempt) {
                Progress();
                TProbe probe;
                ASSERT_TRUE(probe.Load());
                ASSERT_TRUE(probe.Register(VK_PROBE, mode));
                HANDLE go = nullptr, sender = nullptr;
                if (otherMessagePending) {
                    go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
                    sender = CreateThread(nullptr, 0, SendToMainWindowOnSignal, go, 0, nullptr);
                    ASSERT_NE(sender, nullptr);
                }
                KeyDown(VK_PROBE);
                ASSERT_TRUE(PumpUntil([&] { return probe.InCallback() != FALSE; }, DELIVERY_LIMIT_MS))
                    << "mode " << mode << ": the callback never ran";
                if (otherMessagePending) {
                    SetEvent(go);
                    const DWORD start = GetTickCount();
                    while (!SentMessageWaiting() && GetTickCount() - start < DELIVERY_LIMIT_MS) Sleep(0);
                    ASSERT_TRUE(SentMessageWaiting()) << "the other thread's message never came";
                }
                Sleep(random() % (otherMessagePending ? 15 : 20));  // a moment spread over the callback's 20 ms
                if (probe.InCallback()) ++duringCallback;
                probe.Unload();
                KeyUp(VK_PROBE);
                if (sender != nullptr) {
                    EXPECT_TRUE(PumpUntil([&] { return WaitForSingleObject(sender, 0) == WAIT_OBJECT_0; },
                                          DELIVERY_LIMIT_MS));
                    CloseHandle(sender);
                    CloseHandle(go);
                }
            }
            const long runtime =
                TRIES * (mode == PROBE_THROW_AND_CATCH_20_MS ? thrownRuntimeHandles : PROBE_RUNTIME_HANDLES_PER_LOAD);
            const long handlesLeft = HandleCount() - handles - runtime;
            std::printf("mode %d%s: %d unloads, %d of them while the callback ran; handles left beyond the "
                        "runtime's %ld (the runtime's: %ld)\n",
                        mode, otherMessagePending ? ", another thread's message pending" : "", TRIES, duringCallback,
                        handlesLeft, runtime);
            EXPECT_GT(duringCallback, TRIES / 2) << "mode " << mode << ": too few unloads came during the callback";
            EXPECT_EQ(handlesLeft, 0) << "mode " << mode;
            EXPECT_EQ(SettledThreadCount(), threads) << "mode " << mode << ": a worker was left behind";
        }
    }
}

// A callback still busy (spinning, holding nothing of the system's) when the
// grace is over: the unload takes the grace, then leaves the worker
// suspended for good. What it lasted is printed: the grace's measured bound.
TEST_F(EndToEnd, AnUnloadDuringACallbackBusyPastTheGraceLastsTheGraceAndLeavesTheWorkerSuspended) {
    constexpr int TRIES = 5;
    ThreadBaseline();
    const int threads = SettledThreadCount();
    std::vector<double> unloadMs;
    for (int attempt = 0; attempt < TRIES; ++attempt) {
        Progress();
        TProbe probe;
        ASSERT_TRUE(probe.Load());
        ASSERT_TRUE(probe.Register(VK_PROBE, PROBE_SPIN_500_MS));
        KeyDown(VK_PROBE);
        ASSERT_TRUE(PumpUntil([&] { return probe.InCallback() != FALSE; }, DELIVERY_LIMIT_MS));
        const LONGLONG start = Now();
        probe.Unload();
        unloadMs.push_back(Milliseconds(Now() - start));
        KeyUp(VK_PROBE);
    }
    std::sort(unloadMs.begin(), unloadMs.end());
    std::printf("%d unloads during a callback busy past the grace: %.1f to %.1f ms\n", TRIES, unloadMs.front(),
                unloadMs.back());
    EXPECT_EQ(SettledThreadCount(), threads + TRIES) << "each worker stays, suspended";
}

// --- The about box, read back from the real message box window.

struct TBoxFinder {
    HWND Box = nullptr;
    std::string Text;
    bool HasIcon = false;
};

BOOL CALLBACK ReadBoxChild(HWND child, LPARAM context) {
    auto* finder = reinterpret_cast<TBoxFinder*>(context);
    char className[32] = {};
    GetClassNameA(child, className, sizeof className);
    if (lstrcmpiA(className, "Static") != 0) return TRUE;
    if ((GetWindowLongA(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) {
        finder->HasIcon = true;
        return TRUE;
    }
    char text[1024] = {};
    GetWindowTextA(child, text, sizeof text);
    if (std::strlen(text) > finder->Text.size()) finder->Text = text;
    return TRUE;
}

DWORD WINAPI ShowAboutBox(LPVOID descriptor) {
    static_cast<TPluginDescriptor*>(descriptor)->ShowAbout(MainWindow);
    return 0;
}

TEST_F(EndToEnd, TheAboutBoxShowsTheCaptionAndText) {
    ASSERT_TRUE(Plugin.Load());
    ASSERT_TRUE(Plugin.Bind());
    HANDLE shower = CreateThread(nullptr, 0, ShowAboutBox, Plugin.Descriptor, 0, nullptr);
    ASSERT_NE(shower, nullptr);
    TBoxFinder finder;
    ASSERT_TRUE(PumpUntil([&] { return (finder.Box = FindWindowA("#32770", "Plovane " PLOVANE_VERSION)) != nullptr; },
                          10000))
        << "no message box captioned \"Plovane " PLOVANE_VERSION "\"";
    EnumChildWindows(finder.Box, ReadBoxChild, reinterpret_cast<LPARAM>(&finder));
    PostMessageA(finder.Box, WM_COMMAND, IDOK, 0);
    EXPECT_TRUE(PumpUntil([&] { return WaitForSingleObject(shower, 0) == WAIT_OBJECT_0; }, 10000))
        << "the box did not close";
    CloseHandle(shower);

    EXPECT_TRUE(finder.HasIcon);
    const std::string keys = "Keys are: Play/Pause, Previous, Next and Stop.";
    const std::string last =
        " New version was rewritten to do not use global hook on keyboard, which may sometimes not work "
        "on a systems with UAC enabled and no admin rights.";
    const std::string& text = finder.Text;
    const size_t keysAt = text.find(keys);
    ASSERT_NE(keysAt, std::string::npos) << text;
    EXPECT_NE(text.find("XMPlay"), std::string::npos);
    EXPECT_NE(text.find("media keys"), std::string::npos);
    EXPECT_NE(text.find(" Written by the Plovane authors ("), std::string::npos) << text;
    ASSERT_GT(text.size(), last.size());
    EXPECT_EQ(text.substr(text.size() - last.size()), last);
    EXPECT_EQ(text.find('\n'), std::string::npos);
}

// --- The descriptor as the player sees it.

TEST_F(EndToEnd, TheDescriptorAsThePlayerSeesIt) {
    ASSERT_TRUE(Plugin.Load());
    TGetInterface2 getInterface = Plugin.Export();
    ASSERT_NE(getInterface, nullptr);
    TPluginDescriptor* first = getInterface(0, GetHostTable);
    TPluginDescriptor copy;
    std::memcpy(&copy, first, sizeof copy);
    TPluginDescriptor* second = getInterface(7, GetHostTable);
    EXPECT_EQ(first, second);
    EXPECT_EQ(std::memcmp(&copy, second, sizeof copy), 0);
    EXPECT_EQ(HostTableRequests, (std::vector<uint32_t>{0, 0}));

    // Thirteen pointer-sized slots: 52 bytes in the 32-bit DLL the player loads.
    const auto* slots = reinterpret_cast<const uintptr_t*>(first);
    EXPECT_EQ(sizeof(TPluginDescriptor), 13 * sizeof(void*));
    EXPECT_EQ(slots[0], 0u) << "flag word";
    EXPECT_STREQ(first->Name, "Plovane");
    for (int empty : {6, 9, 10, 11}) EXPECT_EQ(slots[empty], 0u) << "slot " << empty;
    for (int routine : {2, 3, 4, 5, 7, 8, 12}) EXPECT_NE(slots[routine], 0u) << "slot " << routine;

    EXPECT_EQ(first->DescribeInstance(reinterpret_cast<void*>(1)), first->Name);
    unsigned char buffer[32];
    std::memset(buffer, 0x5A, sizeof buffer);
    EXPECT_EQ(first->ReadSettings(reinterpret_cast<void*>(1), buffer), 0u);
    EXPECT_EQ(first->ApplySettings(reinterpret_cast<void*>(1), buffer, sizeof buffer), 0xFFFFFFFFu);
    for (unsigned char byte : buffer) EXPECT_EQ(byte, 0x5A);

    std::vector<float> samples(512);
    std::mt19937 random(11);
    for (float& s : samples) s = std::uniform_real_distribution<float>(-1.0f, 1.0f)(random);
    const std::vector<float> before = samples;
    EXPECT_EQ(first->PassSamples(reinterpret_cast<void*>(1), samples.data(), 512), 512u);
    EXPECT_EQ(std::memcmp(samples.data(), before.data(), 512 * sizeof(float)), 0);
    EXPECT_EQ(first->PassSamples(reinterpret_cast<void*>(1), samples.data(), 0), 0u);
}

// The version the project sets, read back from the DLL's version resource.
TEST_F(EndToEnd, TheDllCarriesItsVersion) {
    const std::string path = DllPath();
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
    ASSERT_GT(size, 0u);
    std::vector<char> info(size);
    ASSERT_TRUE(GetFileVersionInfoA(path.c_str(), 0, size, info.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(info.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwFileVersionMS, MAKELONG(PLOVANE_VERSION_MINOR, PLOVANE_VERSION_MAJOR));
    EXPECT_EQ(fixed->dwProductVersionMS, MAKELONG(PLOVANE_VERSION_MINOR, PLOVANE_VERSION_MAJOR));
    auto text = [&](const char* name) -> std::string {
        char* value = nullptr;
        const std::string key = std::string("\\StringFileInfo\\040904B0\\") + name;
        if (!VerQueryValueA(info.data(), key.c_str(), reinterpret_cast<void**>(&value), &length)) return "";
        return value;
    };
    EXPECT_EQ(text("FileDescription"), "Plovane");
    EXPECT_EQ(text("FileVersion"), PLOVANE_VERSION);
    EXPECT_EQ(text("ProductVersion"), PLOVANE_VERSION);
}

// Ends the process when a case stops making progress, so a hang fails fast.
// Through the system alone: a hung case may hold the C runtime's locks (a
// thread suspended inside an allocation holds the heap's).
DWORD WINAPI Watchdog(LPVOID) {
    for (;;) {
        Sleep(500);
        if (GetTickCount() - LastProgress > HANG_LIMIT_MS) break;
    }
    static const char MESSAGE[] = "e2e: no progress for 30 s; ending the test\n";
    static_assert(HANG_LIMIT_MS == 30000, "the message names the limit");
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), MESSAGE, sizeof MESSAGE - 1, &written, nullptr);
    TerminateProcess(GetCurrentProcess(), 99);
    return 0;
}

// A crash ends the process at once with a message, rather than waiting for
// a debugger that never comes.
LONG WINAPI OnCrash(EXCEPTION_POINTERS* info) {
    std::fprintf(stderr, "e2e: unhandled exception 0x%08lx; ending the test\n",
                 static_cast<unsigned long>(info->ExceptionRecord->ExceptionCode));
    std::fflush(stderr);
    TerminateProcess(GetCurrentProcess(), 98);
    return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // What a case printed survives the watchdog's TerminateProcess.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    SetUnhandledExceptionFilter(OnCrash);
    if (!host_kit::CreateHostWindow()) return 3;
    Progress();
    HANDLE watchdog = CreateThread(nullptr, 0, Watchdog, nullptr, 0, nullptr);
    if (watchdog != nullptr) CloseHandle(watchdog);
    return RUN_ALL_TESTS();
}
