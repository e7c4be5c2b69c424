// End-to-end tests of the real xmp_plovane.dll's unload: load/unload cycles
// in every way a host unloads, thousands in one process, the soak forms,
// and a general caller's DLL (the probe) unloaded while its callbacks
// throw, allocate or spin.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "e2e_support.h"

namespace {

using namespace e2e;

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
        std::printf("%d unloads, %-27s threads left %3d, handles left %4ld (events %4ld), "
                    "private address space left %7.1f MiB\n",
                    CYCLES, modes[m].Name, left[m].Threads, left[m].Handles, left[m].Events,
                    left[m].AddressSpaceMiB);
        EXPECT_EQ(left[m].Threads, modes[m].ThreadsTarget) << modes[m].Name;
        if (modes[m].ThreadsTarget == 0) {
            EXPECT_EQ(left[m].Handles, 0) << modes[m].Name;
        }
    }
    EXPECT_EQ(left[3].Events, EVENTS_PER_SUSPENDED_WORKER * CYCLES);
    EXPECT_LE(left[3].Handles, HANDLES_PER_SUSPENDED_WORKER_AT_MOST * CYCLES);
    EXPECT_EQ(Shortcuts.size(), static_cast<size_t>(CYCLES)) << "one press per pending unload, handled once";
}

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
    const THandleCounts before = CountHandles();
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
    const THandleCounts after = CountHandles();
    const long handlesLeft = after.All - before.All;
    const long eventsLeft = after.Events - before.Events;
    std::printf("%d load/unload cycles: %d threads and %ld handles (%ld events) left; %d unloads "
                "came while a worker waited in its callback\n",
                cycles, threadsLeft, handlesLeft, eventsLeft, abandoned);
    EXPECT_EQ(threadsLeft, abandoned);
    // Every other worker left by its own exit and kept nothing.
    EXPECT_EQ(eventsLeft, EVENTS_PER_SUSPENDED_WORKER * threadsLeft);
    EXPECT_LE(handlesLeft, HANDLES_PER_SUSPENDED_WORKER_AT_MOST * threadsLeft);
}

// --- A general caller's DLL, whose callbacks may throw: the probe's
// callbacks throw, or keep the heap or the unwinder busy, on a real press.

TEST_F(EndToEnd, ACallbackThrowingInAGeneralCallersDllLeavesTheWorkerRunning) {
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
            // A pass over the handle table takes seconds in the emulated PC.
            Progress();
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
    Progress();
    // Another thread's message to the main window once first: Wine may start
    // a thread of its own for it, which is not a worker left behind.
    {
        HANDLE go = CreateEventA(nullptr, TRUE, TRUE, nullptr);
        HANDLE sender = CreateThread(nullptr, 0, SendToMainWindowOnSignal, go, 0, nullptr);
        ASSERT_NE(sender, nullptr);
        EXPECT_TRUE(PumpUntil([&] { return WaitForSingleObject(sender, 0) == WAIT_OBJECT_0; }, DELIVERY_LIMIT_MS));
        CloseHandle(sender);
        CloseHandle(go);
    }
    const int threads = SettledThreadCount();
    for (const bool otherMessagePending : {false, true}) {
        for (TProbeMode mode : {PROBE_ALLOCATE_20_MS, PROBE_THROW_AND_CATCH_20_MS}) {
            Progress();
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
            Progress();
            std::printf("mode %d%s: %d unloads, %d of them while the callback ran; handles left beyond the "
                        "runtime's %ld (the runtime's: %ld)\n",
                        mode, otherMessagePending ? ", another thread's message pending" : "", TRIES, duringCallback,
                        handlesLeft, runtime);
            // A third at least: the proportion falls in the slower emulated PC.
            EXPECT_GT(duringCallback, TRIES / 3) << "mode " << mode << ": too few unloads came during the callback";
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

}  // namespace
