// The module's shut-down when the library is unloaded.
//
// It runs under the loader lock, inside the library's process-detach
// notification, and once it returns the library's image may be gone. So the
// worker can never simply be waited for (its exit needs that lock), and must
// never run our code again. Wherever it holds nothing it leaves by an
// ordinary thread exit (which frees its stack and tells the other libraries)
// through routines of the system queued to it as APCs: they run outside our
// image, before its start routine or in its one alertable wait, its park.
// A worker whose callback waits for this thread, or that is still busy
// after the grace, is suspended for good where it stands. One that cannot
// be suspended at all is waited for until it reaches its exit, unless its
// callback waits for this thread: then it is ended where it blocks.
//
// The two rules this code keeps:
// - While the worker is suspended, call nothing that may take the loader's
//   or the heap's locks: the worker may have been stopped holding one, and
//   this thread would wait for it for ever, under the loader lock. The
//   system routines are looked up before any worker exists (StartPoller);
//   while the worker is suspended only SuspendThread, ResumeThread,
//   QueueUserAPC, a zero-time wait on the marker and plain reads are used.
// - Who waits for whom: this thread never waits for the worker's end. It
//   waits for its marker at most UNLOAD_GRACE_MS while the worker can be
//   suspended, and for as long as the worker runs when it cannot. It stops
//   waiting at once when the running callback has declared that it waits
//   for this very thread (SendMessageFromCallback) and a sent message is
//   pending here: this thread will not handle messages under the loader
//   lock.
#include "global_hotkeys.h"
#include "hotkey_table.h"
#include "poller.h"

namespace global_hotkeys {

namespace {

bool Signalled(platform::THandle event) {
    return platform::WaitForSingleObject(event, 0) == platform::WAIT_FIRST_OBJECT;
}

// The worker's callback is in a send to this thread (SendMessageFromCallback),
// queued here or being handled further up this thread's stack: this thread
// will not answer it under the loader lock. Read from the worker's record,
// which is static, so also while it is suspended.
bool WaitsForThisThread(const TWorkerRecord* worker) {
    if (worker == nullptr) return false;
    const uint8_t send = worker->Send;
    return (send == WORKER_LENDING || send == WORKER_LET_GO) && worker->SendsTo == platform::GetCurrentThreadId();
}

// Waits for a worker's marker until the grace's deadline, looking every step
// whether its callback has begun to wait for this thread. True when the
// worker marked: it is at its exit. Time is compared by multiplying only: a
// 32-bit image without a runtime has no routine for dividing 64-bit numbers.
bool ExitsWithinTheGrace(const TWorkerRecord* worker, platform::THandle marker) {
    const uint64_t frequency = platform::QueryPerformanceFrequency();
    const uint64_t start = platform::QueryPerformanceCounter();
    const uint64_t grace = frequency * UNLOAD_GRACE_MS;  // in counts x 1000
    while (!WaitsForThisThread(worker)) {
        const uint64_t elapsed = (platform::QueryPerformanceCounter() - start) * 1000;
        if (elapsed >= grace) return false;
        // The milliseconds left, rounded up, or the step if fewer.
        uint32_t wait = UNLOAD_GRACE_STEP_MS;
        while (wait > 1 && elapsed + (wait - 1) * frequency >= grace) --wait;
        if (platform::WaitForSingleObject(marker, wait) == platform::WAIT_FIRST_OBJECT) return true;
    }
    return false;
}

// Ends a worker that runs on where it is (its suspension was refused). It
// has nothing of ours left to run once TerminateThread returns; but that
// is safe only where it holds none of the system's locks: blocked in its
// send to this thread, or stuck before its start routine. It keeps what it
// may hold.
bool TerminatePoller() {
    if (platform::TerminateThread(PollerThread)) Poller.LastShutdown = SHUTDOWN_WORKER_TERMINATED;
    return false;
}

// The worker could not be suspended: it runs on, so this thread may not
// return while it can still run our code. `exitQueued`: its SetEvent and
// ExitThread are queued already (a suspension refused after the grace).
bool EndUnsuspendablePoller(bool exitQueued) {
    if (!exitQueued) {
        // Not started: it cannot start while this thread holds the loader
        // lock, and what is queued now runs before its start routine.
        if (!Signalled(Poller.Marker)) {
            if (!QueueExitAfter(platform::SYSTEM_CLOSE_HANDLE, PollerThread, Poller.Marker)) return TerminatePoller();
            Poller.Marker = nullptr;
            Poller.LastShutdown = SHUTDOWN_ENDED_BEFORE_START;
            return true;
        }
        // Without its exit queued it would return through our code.
        if (!QueueExitAfter(platform::SYSTEM_SET_EVENT, PollerThread, Poller.Marker)) return TerminatePoller();
    }
    // No deadline: whatever it is doing, it reaches its park and its exit
    // there, and until it does, our code must stay.
    // Its send waits for this thread, which will not answer under the
    // loader lock: once answered, it would run on into the unloaded image.
    while (!WaitsForThisThread(Poller.Current)) {
        if (platform::WaitForSingleObject(Poller.Marker, UNLOAD_GRACE_STEP_MS) == platform::WAIT_FIRST_OBJECT) {
            Poller.LastShutdown = SHUTDOWN_ENDED_AT_PARK;
            return true;
        }
    }
    return TerminatePoller();
}

// True when the worker leaves by an ordinary exit without running our code
// again, so what it used may be freed; false when it keeps it: suspended for
// good, or ended where it blocked.
bool EndPollerAtUnload() {
    const platform::THandle worker = PollerThread;
    // Stopped first, so that what is read of it holds. Read by the worker
    // only once it runs again, with its exit queued by then: every way out
    // of its loop passes an alertable wait.
    const platform::TSuspension first = platform::SuspendThread(worker);
    StopRequested = 1;
    if (first == platform::SUSPENSION_REFUSED) return EndUnsuspendablePoller(false);
    // Suspended, but not known to have stopped: nothing may be decided from
    // what is read of it. It stays suspended and keeps everything.
    if (first == platform::SUSPENSION_UNCONFIRMED) return false;

    // Not started: its marker has not run, so what is queued now runs before
    // its start routine and it never enters our code (a host listing its
    // plug-ins loads and unloads at once). The marker's SetEvent still needs
    // the event, so the worker closes it itself. Should the queueing fail,
    // it stays suspended.
    if (!Signalled(Poller.Marker)) {
        if (!QueueExitAfter(platform::SYSTEM_CLOSE_HANDLE, PollerThread, Poller.Marker)) return false;
        Poller.Marker = nullptr;
        platform::ResumeThread(worker);
        Poller.LastShutdown = SHUTDOWN_ENDED_BEFORE_START;
        return true;
    }

    // Started: on its way into our code, busy, in a callback or parked. It
    // exits at its park, marking the event just before; until then it may
    // finish its cycle, callbacks included, within the grace.
    if (!QueueExitAfter(platform::SYSTEM_SET_EVENT, PollerThread, Poller.Marker)) return false;
    platform::ResumeThread(worker);
    if (ExitsWithinTheGrace(Poller.Current, Poller.Marker)) {
        Poller.LastShutdown = SHUTDOWN_ENDED_AT_PARK;
        return true;
    }

    // Waiting for this thread, or still in our code: suspended where it
    // stands, unless it has just reached its exit.
    const platform::TSuspension last = platform::SuspendThread(worker);
    if (Signalled(Poller.Marker)) {
        if (last != platform::SUSPENSION_REFUSED) platform::ResumeThread(worker);
        Poller.LastShutdown = SHUTDOWN_ENDED_AT_PARK;
        return true;
    }
    if (last == platform::SUSPENSION_REFUSED) return EndUnsuspendablePoller(true);
    return false;
}

// A worker let go by a stop made from inside its callback's send: still in
// that send, or on its way to the exit queued then. At its exit it is left
// to finish; otherwise it is suspended for good where it stands, or, when
// that is refused, ended in its send, or waited for on its way out within
// the grace. Its record, handle and marker are freed in every case: it will
// not run our code again.
void EndLetGoWorkerAtUnload(TWorkerRecord& worker) {
    if (!Signalled(worker.Thread)) {
        const platform::TSuspension suspension = platform::SuspendThread(worker.Thread);
        if (Signalled(worker.Marker)) {
            if (suspension != platform::SUSPENSION_REFUSED) platform::ResumeThread(worker.Thread);
        } else if (suspension == platform::SUSPENSION_REFUSED) {
            if (worker.Send == WORKER_LET_GO || !ExitsWithinTheGrace(&worker, worker.Marker))
                platform::TerminateThread(worker.Thread);
        }
    }
    worker.ThreadId = 0;
    platform::CloseHandle(worker.Thread);
    worker.Thread = nullptr;
    platform::CloseHandle(worker.Marker);
    worker.Marker = nullptr;
    worker.InUse = false;
}

}  // namespace

void HotkeysShutdown(bool processEnding) {
    Poller.LastShutdown = SHUTDOWN_NO_WORKER;
    // The process is exiting: the worker is already gone and any lock, the
    // heap's included, may have died with some thread. Touch nothing.
    if (processEnding) return;
    bool ended = true;
    if (PollerThread != nullptr) {
        Poller.LastShutdown = SHUTDOWN_WORKER_LEFT;
        ended = EndPollerAtUnload();
        platform::CloseHandle(PollerThread);
        PollerThread = nullptr;
    }
    if (ended)
        ReleasePollerObjects();
    else
        AbandonPollerObjects();
    Poller.Current = nullptr;
    // Last: one left suspended may hold the heap's lock, which freeing the
    // lock above takes.
    for (TWorkerRecord& worker : Poller.Workers)
        if (worker.InUse && worker.Thread != nullptr) EndLetGoWorkerAtUnload(worker);
}

}  // namespace global_hotkeys
