// The module's shut-down when the library is unloaded.
//
// It runs under the loader lock, inside the library's process-detach
// notification, and once it returns the library's image may be gone. So the
// worker can never simply be waited for (its exit needs that lock), and must
// never run our code again. Wherever it holds nothing it leaves by an
// ordinary thread exit (which frees its stack and tells the other libraries)
// through routines of the system queued to it as APCs: they run outside our
// image, before its start routine or in its one alertable wait, its park.
// Only a worker whose callback waits for this thread, or that is still busy
// after the grace, is suspended for good where it stands.
//
// The two rules this code keeps:
// - While the worker is suspended, call nothing that may take the loader's
//   or the heap's locks: the worker may have been stopped holding one, and
//   this thread would wait for it for ever, under the loader lock. The
//   system routines are looked up before any worker exists (StartPoller);
//   while the worker is suspended only SuspendThread, ResumeThread,
//   QueueUserAPC, a zero-time wait on the marker and plain reads are used.
// - Who waits for whom: this thread never waits for the worker's end, and
//   waits for its marker at most UNLOAD_GRACE_MS. It does not wait at all
//   once the running callback has declared that it waits for this very
//   thread (SendMessageFromCallback) and that message is pending here: this
//   thread will not handle it under the loader lock.
#include "global_hotkeys.h"
#include "hotkey_table.h"
#include "poller.h"

namespace global_hotkeys {

namespace {

bool Signalled(platform::THandle event) {
    return platform::WaitForSingleObject(event, 0) == platform::WAIT_FIRST_OBJECT;
}

// Read only while the worker runs: a thread that owns no window yet may
// allocate on its first GetQueueStatus. One that a callback waits for owns
// the window it was sent to.
bool CallbackWaitsForThisThread() {
    return CallbackRunning != 0 && CallbackWaitsFor != 0 && CallbackWaitsFor == platform::GetCurrentThreadId() &&
           (platform::GetQueueStatus(platform::QS_SENDMESSAGE_FLAG) >> 16) != 0;
}

// Queues `first(argument)` and then ExitThread to the worker; the two run
// one after the other, with none of our code between them.
bool QueueExitAfter(platform::TSystemRoutine first, platform::THandle argument) {
    return platform::QueueUserAPC(first, PollerThread, reinterpret_cast<uintptr_t>(argument)) &&
           platform::QueueUserAPC(platform::SYSTEM_EXIT_THREAD, PollerThread, 0);
}

// Waits for the worker's marker until the grace's deadline, looking every
// step whether its callback has begun to wait for this thread. True when
// the worker marked: it is at its exit.
bool WorkerExitsWithinTheGrace() {
    const uint64_t frequency = platform::QueryPerformanceFrequency();
    const uint64_t deadline = platform::QueryPerformanceCounter() + frequency * UNLOAD_GRACE_MS / 1000;
    while (!CallbackWaitsForThisThread()) {
        const uint64_t now = platform::QueryPerformanceCounter();
        if (now >= deadline) return false;
        const uint64_t left = ((deadline - now) * 1000 + frequency - 1) / frequency;
        const uint32_t wait = left < UNLOAD_GRACE_STEP_MS ? static_cast<uint32_t>(left) : UNLOAD_GRACE_STEP_MS;
        if (platform::WaitForSingleObject(WorkerMarker, wait) == platform::WAIT_FIRST_OBJECT) return true;
    }
    return false;
}

// True when the worker leaves by an ordinary exit without running our code
// again, so what it used may be freed; false when it keeps it: suspended for
// good, or (its suspension failed) running on to its exit at its next park.
bool EndWorkerAtUnload() {
    const platform::THandle worker = PollerThread;
    // Stopped first, so that what is read of it holds. Unless that is
    // confirmed, nothing may be decided from it: it keeps everything. Should
    // it run on, it exits at its next park (or before its start routine)
    // rather than return into an unloaded image.
    if (!platform::SuspendThread(worker)) {
        platform::QueueUserAPC(platform::SYSTEM_EXIT_THREAD, worker, 0);
        StopRequested = 1;
        return false;
    }
    // Read by the worker only once it runs again, with its exit queued by
    // then: every way out of its loop passes an alertable wait.
    StopRequested = 1;

    // Not started: its marker has not run, so what is queued now runs before
    // its start routine and it never enters our code (a host listing its
    // plug-ins loads and unloads at once). The marker's SetEvent still needs
    // the event, so the worker closes it itself. Should the queueing fail,
    // it stays suspended.
    if (!Signalled(WorkerMarker)) {
        if (!QueueExitAfter(platform::SYSTEM_CLOSE_HANDLE, WorkerMarker)) return false;
        WorkerMarker = nullptr;
        platform::ResumeThread(worker);
        LastShutdown = SHUTDOWN_ENDED_BEFORE_START;
        return true;
    }

    // Started: on its way into our code, busy, in a callback or parked. It
    // exits at its park, marking the event just before; until then it may
    // finish its cycle, callbacks included, within the grace.
    if (!QueueExitAfter(platform::SYSTEM_SET_EVENT, WorkerMarker)) return false;
    platform::ResumeThread(worker);
    if (WorkerExitsWithinTheGrace()) {
        LastShutdown = SHUTDOWN_ENDED_AT_PARK;
        return true;
    }

    // Waiting for this thread, or still in our code: suspended where it
    // stands, unless it has just reached its exit.
    const bool stopped = platform::SuspendThread(worker);
    if (!Signalled(WorkerMarker)) return false;
    if (stopped) platform::ResumeThread(worker);
    LastShutdown = SHUTDOWN_ENDED_AT_PARK;
    return true;
}

}  // namespace

void HotkeysShutdown(bool processEnding) {
    LastShutdown = SHUTDOWN_NO_WORKER;
    // The process is exiting: the worker is already gone and any lock, the
    // heap's included, may have died with some thread. Touch nothing.
    if (processEnding) return;
    if (PollerThread != nullptr) {
        LastShutdown = SHUTDOWN_WORKER_LEFT;
        const bool ended = EndWorkerAtUnload();
        platform::CloseHandle(PollerThread);
        PollerThread = nullptr;
        if (!ended) {
            AbandonPollerObjects();
            return;
        }
    }
    ReleasePollerObjects();
}

}  // namespace global_hotkeys
