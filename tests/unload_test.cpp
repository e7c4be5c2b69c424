// The module's shut-down at unload, run as the platform runs it, and the
// emulated Windows' guards that fail a run where Windows would crash or
// hang at unload.
#include <stdexcept>

#include "test_support.h"

namespace {

using namespace testing_support;

constexpr uint16_t VK_A = 0x41;

void AlwaysThrow(int32_t id) {
    Record(id);
    throw std::runtime_error("callback failure");
}

// --- Shut-down, run as the platform runs it: inside the library's
// process-detach notification, under the loader lock, after which the
// emulated Windows takes the library's image away (a worker that enters it,
// calls out of it or returns into it then fails the run). A worker that
// leaves does so by its own exit, which waits for that lock: it is gone once
// the unload is over and the emulation has settled.

// A lock the shut-down abandons to a worker that may hold it stays
// allocated for good, as the design has it: kept reachable here, so that the
// leak checker does not count it.
std::vector<TCriticalSection*>& MaybeAbandoned() {
    static auto* locks = new std::vector<TCriticalSection*>;  // never destroyed
    return *locks;
}

bool EngineEntry(uint32_t reason, bool processEnding) {
    if (reason == 1) HotkeysStartup();
    if (reason == 0) {
        MaybeAbandoned().push_back(PollerLock);
        HotkeysShutdown(processEnding);
    }
    return true;
}

void Unload() { emulated::FreeLibrary(EngineEntry); }

// What a shut-down left: live workers and open handles against the counts
// before it, and how much virtual time it spent waiting.
struct TLeft {
    int Threads;
    int Handles;
    uint64_t Waited;
};
template <class TShutDown>
TLeft AfterShutDown(TShutDown shutDown) {
    const int threads = emulated::LiveThreadCount();
    const int handles = emulated::OpenHandleCount();
    const uint64_t now = emulated::Now();
    shutDown();
    const uint64_t waited = emulated::Now() - now;
    EXPECT_EQ(PollerThread, nullptr);
    EXPECT_EQ(PollerLock, nullptr);
    Settle();
    return {threads - emulated::LiveThreadCount(), handles - emulated::OpenHandleCount(), waited};
}

// Load and unload at once, as a host listing its plug-ins does: the worker
// has not reached our code (the loader lock holds it back). It exits before
// it does, closing its marker; entering our code would fail the run.
TEST_F(TableTest, ShutDownBeforeTheWorkerReachedOurCodeEndsItThere) {
    const TLeft left = AfterShutDown([] {
        emulated::RunUnderLoaderLock([] {
            ASSERT_TRUE(emulated::LoadLibrary(EngineEntry));
            Unload();
        });
    });
    EXPECT_EQ(Poller.LastShutdown, SHUTDOWN_ENDED_BEFORE_START);
    EXPECT_EQ(left.Threads, 0) << "the worker is still there";
    EXPECT_EQ(left.Handles, 0) << "handles left behind";
}

TEST_F(PollerTest, ShutDownEndsAParkedWorkerAndFreesEverything) {
    ASSERT_TRUE(AddHotkey(1, 0, VK_A, Record));
    Settle();
    const TLeft left = AfterShutDown(Unload);
    EXPECT_EQ(Poller.LastShutdown, SHUTDOWN_ENDED_AT_PARK);
    EXPECT_EQ(left.Threads, 1) << "a parked worker is ended, not abandoned";
    EXPECT_EQ(left.Handles, 3) << "thread handle and both events";
    EXPECT_EQ(left.Waited, 0u);
    emulated::PressKey(VK_A);
    EXPECT_FALSE(emulated::AdvanceToNextDeadline());
    Settle();
    EXPECT_TRUE(Fired().empty());
}

// Held in its key reset just after a callback threw, then let go once the
// shut-down waits for it.
TEST_F(PollerTest, ShutDownLetsAWorkerBusyOutsideACallbackFinishAndEndsIt) {
    ASSERT_TRUE(AddHotkey(1, 0, VK_A, AlwaysThrow));
    emulated::PressKey(VK_A);
    HoldPollerAt(0x80);
    ASSERT_EQ(Fired(), (std::vector<int32_t>{1}));
    emulated::OpenGateWhenBlockedIn("WaitForSingleObject");
    const TLeft left = AfterShutDown(Unload);
    EXPECT_EQ(Poller.LastShutdown, SHUTDOWN_ENDED_AT_PARK);
    EXPECT_EQ(left.Threads, 1) << "the worker was left suspended instead of ended";
    EXPECT_EQ(left.Handles, 3);
    EXPECT_EQ(Fired(), (std::vector<int32_t>{1})) << "a scan after shut-down began";
}

// A general caller's callback, busy (say allocating) when the library is
// unloaded, while a message from someone else waits for the unloading
// thread: it gets the grace, so it is not stopped holding a lock of the
// system's. It has not declared that it waits for that thread.
void QueryGatedKey(int32_t id) {
    platform::GetAsyncKeyState(0x80);
    Record(id);
}

TEST_F(PollerTest, ShutDownLetsACallbackThatDoesNotWaitForItFinishEvenWithAnUnrelatedMessagePending) {
    int handled = 0;
    const platform::TWindow window = emulated::CreateWindowForThisThread([&](uint32_t, uintptr_t, intptr_t) {
        ++handled;
        return intptr_t{0};
    });
    ASSERT_TRUE(AddHotkey(1, 0, VK_A, QueryGatedKey));
    emulated::PressKey(VK_A);
    Settle();
    emulated::GateKeyQuery(0x80);
    emulated::SendWhenBlockedIn("GetAsyncKeyState (gated)", window, 0x8001);
    ASSERT_TRUE(emulated::AdvanceToNextDeadline());
    Settle();
    ASSERT_EQ(CallbackRunning, 1);
    ASSERT_EQ(emulated::PendingSentMessages(), 1);
    emulated::OpenGateWhenBlockedIn("WaitForSingleObject");
    const TLeft left = AfterShutDown(Unload);
    EXPECT_EQ(Poller.LastShutdown, SHUTDOWN_ENDED_AT_PARK);
    EXPECT_EQ(Fired(), (std::vector<int32_t>{1})) << "the callback did not finish";
    EXPECT_EQ(left.Threads, 1) << "the worker was left suspended in its callback";
    EXPECT_EQ(left.Handles, 3);
    platform::HandleSentMessages();
    EXPECT_EQ(handled, 1);
    emulated::DestroyWindow(window);
}

platform::TWindow TestWindow;
void SendToTestWindow(int32_t id) {
    Record(id);
    SendMessageFromCallback(TestWindow, 0x041A, static_cast<uintptr_t>(id), 0);
}

// The worker blocked in its first callback's send to a window of this
// thread, which counts the messages it handles.
int Handled = 0;
void HoldPollerInItsSend() {
    Handled = 0;
    TestWindow = emulated::CreateWindowForThisThread([](uint32_t, uintptr_t, intptr_t) {
        ++Handled;
        return intptr_t{0};
    });
    ASSERT_TRUE(AddHotkey(1, 0, VK_A, SendToTestWindow));
    ASSERT_TRUE(AddHotkey(2, 0, VK_A, SendToTestWindow));
    emulated::PressKey(VK_A);
    Cycle();
    ASSERT_EQ(emulated::ThreadWaitName(PollerThread), "SendMessageA");
}

// The plug-in's case: unloaded while its callback waits for the unloading
// thread, which is not going to handle the message under the loader lock.
TEST_F(PollerTest, ShutDownDuringACallbackThatWaitsForItSuspendsTheWorkerAtOnce) {
    ASSERT_NO_FATAL_FAILURE(HoldPollerInItsSend());

    const TLeft left = AfterShutDown(Unload);
    EXPECT_EQ(Poller.LastShutdown, SHUTDOWN_WORKER_LEFT);
    EXPECT_EQ(left.Waited, 0u) << "the grace was spent on a worker that waits for the unloading thread";
    EXPECT_EQ(left.Threads, 0) << "the worker stays, suspended";
    EXPECT_EQ(left.Handles, 1) << "only the thread handle is closed";

    // Its pending send is answered, yet it never runs again (it would fail
    // the run, returning into the unloaded image).
    platform::HandleSentMessages();
    EXPECT_EQ(Handled, 1);
    Settle();
    EXPECT_EQ(Fired(), (std::vector<int32_t>{1}));
    EXPECT_FALSE(emulated::AdvanceToNextDeadline());
    emulated::DestroyWindow(TestWindow);
}

// Held inside its scan (holding the lock, not in a callback) past the
// grace: it may hold anything of ours, so it keeps everything. The grace is
// a deadline on the performance counter, waited for in steps of at most
// UNLOAD_GRACE_STEP_MS, the last rounded up to the deadline's millisecond:
// with waits that end when asked, it lasts exactly UNLOAD_GRACE_MS in ten
// steps; with waits that end on a timer tick (16 ms on Windows), at most a
// tick more, and not even that when its deadline falls on a tick.
TLeft ShutDownPastTheGrace(uint64_t tick, uint64_t startModuloTick, uint64_t* timedWaits) {
    EXPECT_TRUE(AddHotkey(1, 0, VK_A, Record));
    HoldPollerAt(VK_A);
    const uint64_t queries = emulated::TotalKeyQueries();
    if (tick != 0) emulated::AdvanceClock((startModuloTick + tick - emulated::Now() % tick) % tick);
    const uint64_t waits = emulated::TimedWaits();
    emulated::SetAutoClock(true);  // lets the grace run out
    emulated::SetTimerTick(tick);
    const TLeft left = AfterShutDown(Unload);
    emulated::SetTimerTick(0);
    emulated::SetAutoClock(false);
    if (timedWaits != nullptr) *timedWaits = emulated::TimedWaits() - waits;
    EXPECT_EQ(Poller.LastShutdown, SHUTDOWN_WORKER_LEFT);
    EXPECT_EQ(left.Threads, 0) << "the worker stays, suspended";
    // Freeing the lock it holds would also abort in DeleteCriticalSection.
    EXPECT_EQ(left.Handles, 1) << "only the thread handle is closed";
    emulated::OpenGate();
    Settle();
    EXPECT_EQ(emulated::TotalKeyQueries(), queries) << "the suspended worker ran on";
    return left;
}

TEST_F(PollerTest, ShutDownLeavesAWorkerStillBusyAfterTheGraceSuspendedWithItsLockAndEvents) {
    uint64_t waits = 0;
    const TLeft left = ShutDownPastTheGrace(0, 0, &waits);
    EXPECT_EQ(left.Waited, UNLOAD_GRACE_MS);
    EXPECT_EQ(waits, UNLOAD_GRACE_MS / UNLOAD_GRACE_STEP_MS) << "a step was cut short";
}

TEST_F(PollerTest, TheGraceOnATimerTickEndsAtMostATickLateAndOnTimeWhenItsDeadlineIsOnOne) {
    EXPECT_LE(ShutDownPastTheGrace(16, 5, nullptr).Waited, UNLOAD_GRACE_MS + 16);
}

TEST_F(PollerTest, TheGracesLastWaitEndsOnItsDeadlineWhenThatFallsOnATick) {
    // Started at 2 modulo 3 ms, the deadline falls on a tick; the steps
    // before it do not.
    EXPECT_EQ(ShutDownPastTheGrace(3, 2, nullptr).Waited, UNLOAD_GRACE_MS);
}

// Suspended just after its park ended, before it tests the stop flag: it
// must take the exit queued meanwhile before running any more of our code
// (its routine returning would run the image's code after the unload).
TEST_F(PollerTest, ShutDownJustAfterTheParkEndedEndsTheWorkerBeforeItRunsOurCode) {
    ASSERT_TRUE(AddHotkey(1, 0, VK_A, Record));
    Settle();
    emulated::GateNextReturn("SleepEx");
    ASSERT_TRUE(emulated::AdvanceToNextDeadline());
    Settle();
    ASSERT_EQ(emulated::ThreadWaitName(PollerThread), "SleepEx (gated return)");
    emulated::OpenGateWhenBlockedIn("WaitForSingleObject");
    const TLeft left = AfterShutDown(Unload);
    EXPECT_EQ(Poller.LastShutdown, SHUTDOWN_ENDED_AT_PARK);
    EXPECT_EQ(left.Threads, 1);
}

// A worker whose stop cannot be confirmed may still be anywhere: nothing is
// decided from what it was seen doing, and it keeps everything.
TEST_F(PollerTest, ShutDownDecidesNothingFromAWorkerNotKnownToHaveStopped) {
    emulated::InjectFault(emulated::FAULT_THREAD_CONTEXT, 1, 1);
    const TLeft left = AfterShutDown(Unload);
    EXPECT_EQ(Poller.LastShutdown, SHUTDOWN_WORKER_LEFT);
    EXPECT_EQ(left.Threads, 0);
    EXPECT_EQ(left.Handles, 1) << "only the thread handle is closed";
}

// --- Shut-down when the system refuses a step: never a use of freed
// objects, never a hang, never our code after the unload, and what is left
// is what the header says: the thread (suspended, or exiting at its park),
// the lock and the two events.

TEST_F(TableTest, ShutDownWhenTheMarkerCouldNotBeQueuedAtStartSuspendsTheUnstartedWorker) {
    emulated::SetAutoClock(true);
    const TLeft left = AfterShutDown([] {
        emulated::RunUnderLoaderLock([] {
            emulated::InjectFault(emulated::FAULT_QUEUE_USER_APC, 1);
            ASSERT_TRUE(emulated::LoadLibrary(EngineEntry));
            Unload();
        });
    });
    emulated::SetAutoClock(false);
    EXPECT_EQ(Poller.LastShutdown, SHUTDOWN_WORKER_LEFT);
    EXPECT_EQ(left.Waited, UNLOAD_GRACE_MS) << "taken for started, it had the grace";
    // Counted from before the load: the worker stays, with its two events.
    EXPECT_EQ(left.Threads, -1);
    EXPECT_EQ(left.Handles, -2);
}

TEST_F(PollerTest, ShutDownWhoseExitCannotBeQueuedLeavesTheWorkerSuspended) {
    // The 1st QueueUserAPC of the unload queues the marker's SetEvent, the
    // 2nd its ExitThread: either failing leaves the worker suspended.
    for (const int failing : {1, 2}) {
        SCOPED_TRACE(failing);
        UnloadModule();
        HotkeysStartup();
        ASSERT_TRUE(AddHotkey(1, 0, VK_A, Record));
        Settle();
        emulated::InjectFault(emulated::FAULT_QUEUE_USER_APC, failing);
        const TLeft left = AfterShutDown(Unload);
        EXPECT_EQ(Poller.LastShutdown, SHUTDOWN_WORKER_LEFT);
        EXPECT_EQ(left.Threads, 0);
        EXPECT_EQ(left.Handles, 1) << "only the thread handle is closed";
        emulated::PressKey(VK_A);
        EXPECT_FALSE(emulated::AdvanceToNextDeadline()) << "the worker runs on";
        emulated::ReleaseKey(VK_A);
    }
}

TEST_F(TableTest, ShutDownBeforeStartWhoseExitCannotBeQueuedLeavesTheWorkerSuspended) {
    const TLeft left = AfterShutDown([] {
        emulated::RunUnderLoaderLock([] {
            ASSERT_TRUE(emulated::LoadLibrary(EngineEntry));
            emulated::InjectFault(emulated::FAULT_QUEUE_USER_APC, 2);  // the ExitThread behind CloseHandle
            Unload();
        });
    });
    EXPECT_EQ(Poller.LastShutdown, SHUTDOWN_WORKER_LEFT);
    EXPECT_EQ(left.Threads, -1);
    EXPECT_EQ(left.Handles, -2);
}

// The grace runs out just as the worker reaches its exit: the final
// suspension (which Windows makes asynchronously) finds it marked, and it is
// let go rather than suspended with its exit under way.
TEST_F(PollerTest, ShutDownWhoseFinalSuspensionFindsTheWorkerAtItsExitLetsItGo) {
    HoldPollerAt(0x80);
    emulated::SetAutoClock(true);
    emulated::InjectFault(emulated::FAULT_SUSPENSION_DELAY, 2);
    emulated::OpenGateWhenBlockedIn("SuspendThread (delayed)");
    const TLeft left = AfterShutDown(Unload);
    emulated::SetAutoClock(false);
    EXPECT_EQ(Poller.LastShutdown, SHUTDOWN_ENDED_AT_PARK);
    EXPECT_EQ(left.Waited, UNLOAD_GRACE_MS);
    EXPECT_EQ(left.Threads, 1);
    EXPECT_EQ(left.Handles, 3);
}

// --- Suspension refused: the worker runs on, so the unload may not return
// while it can still run our code (the emulated Windows fails the run if it
// does).

// Parked: it leaves at once by its exit, and everything is freed.
TEST_F(PollerTest, ShutDownWhoseSuspensionIsRefusedEndsAParkedWorkerAtItsPark) {
    emulated::InjectFault(emulated::FAULT_SUSPEND_THREAD, 1);
    const TLeft left = AfterShutDown(Unload);
    EXPECT_EQ(Poller.LastShutdown, SHUTDOWN_ENDED_AT_PARK);
    EXPECT_EQ(left.Threads, 1) << "the worker did not exit";
    EXPECT_EQ(left.Handles, 3);
}

// Mid-cycle, holding the lock: waited for past the grace, until it reaches
// its park and leaves there.
TEST_F(PollerTest, ShutDownWhoseSuspensionIsRefusedWaitsForABusyWorkerPastTheGrace) {
    for (const int refused : {1, 2}) {  // at once, or the suspension after the grace
        SCOPED_TRACE(refused);
        UnloadModule();
        HotkeysStartup();
        ASSERT_TRUE(AddHotkey(1, 0, VK_A, Record));
        emulated::PressKey(VK_A);
        HoldPollerAt(VK_A);
        emulated::InjectFault(emulated::FAULT_SUSPEND_THREAD, refused);
        emulated::SetAutoClock(true);
        // Held for three graces' worth of the unload's waits.
        emulated::OpenGateWhenBlockedIn("WaitForSingleObject", 3 * UNLOAD_GRACE_MS / UNLOAD_GRACE_STEP_MS);
        const TLeft left = AfterShutDown(Unload);
        emulated::SetAutoClock(false);
        EXPECT_EQ(Poller.LastShutdown, SHUTDOWN_ENDED_AT_PARK);
        EXPECT_GT(left.Waited, 2 * UNLOAD_GRACE_MS) << "the unload did not wait for the running worker";
        EXPECT_EQ(Fired(), (std::vector<int32_t>{1})) << "its cycle did not finish";
        EXPECT_EQ(left.Threads, 1);
        EXPECT_EQ(left.Handles, 3);
        emulated::ReleaseKey(VK_A);
        Fired().clear();
    }
}

// Not started: it cannot start under the loader lock, and leaves before its
// start routine.
TEST_F(TableTest, ShutDownWhoseSuspensionIsRefusedEndsAnUnstartedWorkerBeforeOurCode) {
    const TLeft left = AfterShutDown([] {
        emulated::RunUnderLoaderLock([] {
            ASSERT_TRUE(emulated::LoadLibrary(EngineEntry));
            emulated::InjectFault(emulated::FAULT_SUSPEND_THREAD, 1);
            Unload();
        });
    });
    EXPECT_EQ(Poller.LastShutdown, SHUTDOWN_ENDED_BEFORE_START);
    EXPECT_EQ(left.Threads, 0);
    EXPECT_EQ(left.Handles, 0);
}

// Its callback waits for the unloading thread: it cannot be waited for, nor
// let run on into the unloaded image once answered. It is ended where it
// blocks, keeping its lock and events.
TEST_F(PollerTest, ShutDownWhoseSuspensionIsRefusedEndsAWorkerBlockedOnThisThreadWhereItBlocks) {
    ASSERT_NO_FATAL_FAILURE(HoldPollerInItsSend());
    emulated::InjectFault(emulated::FAULT_SUSPEND_THREAD, 1);
    const TLeft left = AfterShutDown(Unload);
    EXPECT_EQ(Poller.LastShutdown, SHUTDOWN_WORKER_TERMINATED);
    EXPECT_EQ(left.Waited, 0u);
    EXPECT_EQ(left.Threads, 1);
    EXPECT_EQ(left.Handles, 1) << "only the thread handle is closed";
    // Answering its send runs none of it again.
    platform::HandleSentMessages();
    EXPECT_EQ(Handled, 1);
    Settle();
    EXPECT_EQ(Fired(), (std::vector<int32_t>{1}));
    emulated::DestroyWindow(TestWindow);
}

// Neither suspended nor given its exit: ended where it stands rather than
// left to return through our code.
TEST_F(PollerTest, ShutDownWhoseSuspensionAndExitAreBothRefusedEndsTheWorker) {
    emulated::InjectFault(emulated::FAULT_SUSPEND_THREAD, 1);
    emulated::InjectFault(emulated::FAULT_QUEUE_USER_APC, 2);  // the ExitThread behind the marker's SetEvent
    const TLeft left = AfterShutDown(Unload);
    EXPECT_EQ(Poller.LastShutdown, SHUTDOWN_WORKER_TERMINATED);
    EXPECT_EQ(left.Threads, 1);
    EXPECT_EQ(left.Handles, 1) << "only the thread handle is closed";
}

// The emulated Windows' guards themselves: each misuse fails the run.
using GuardDeathTest = PollerTest;

TEST_F(GuardDeathTest, UsingTheLoaderOrHeapWhileHoldingAThreadSuspendedFailsTheRun) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const platform::THandle worker = PollerThread;
    EXPECT_DEATH(emulated::RunUnderLoaderLock([worker] {
        platform::SuspendThread(worker);
        emulated::MapLibraryImage();  // routines not looked up in this image
        platform::ResolveSystemRoutines();
    }),
                 "loader or heap used while a thread this one suspended is suspended: ResolveSystemRoutines");
    EXPECT_DEATH(emulated::RunUnderLoaderLock([worker] {
        platform::SuspendThread(worker);
        platform::CreateThread([](void*) -> uint32_t { return 0; });
    }),
                 "loader or heap used while a thread this one suspended is suspended: CreateThread");
}

TEST_F(GuardDeathTest, AWorkerRunningAfterTheUnloadFailsTheRun) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // An unload that only forgets the engine: the worker wakes into an
    // image that is gone.
    EXPECT_DEATH(
        {
            emulated::FreeLibrary([](uint32_t, bool) { return true; });
            Cycle();
        },
        "a thread of the unloaded library made a platform call|returned into the unloaded library's code");
    EXPECT_DEATH(
        {
            emulated::MapLibraryImage();
            platform::QueueUserAPC(platform::SYSTEM_SET_EVENT, PollerThread, 0);
        },
        "system routine not looked up beforehand: QueueUserAPC");
}

TEST_F(PollerTest, ShutDownAfterTheLastRemovalDoesNothingFurther) {
    ASSERT_TRUE(AddHotkey(1, 0, VK_A, Record));
    ASSERT_TRUE(RemoveHotkey(1));
    const int threads = emulated::LiveThreadCount();
    const int handles = emulated::OpenHandleCount();
    Unload();
    EXPECT_EQ(emulated::LiveThreadCount(), threads);
    EXPECT_EQ(emulated::OpenHandleCount(), handles);
}

TEST_F(PollerTest, ShutDownAtProcessExitTouchesNothing) {
    const platform::THandle worker = PollerThread;
    const int handles = emulated::OpenHandleCount();
    emulated::RunUnderLoaderLock([] { HotkeysShutdown(true); });
    EXPECT_EQ(PollerThread, worker);
    EXPECT_EQ(emulated::OpenHandleCount(), handles);
    EXPECT_EQ(emulated::ThreadState(worker), emulated::TThreadState::Blocked);
}

}  // namespace
