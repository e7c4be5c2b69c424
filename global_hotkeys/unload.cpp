// The module's shut-down when the library is unloaded.
//
// It runs under the loader lock, inside the library's process-detach
// notification, and once it returns the library's image may be gone. So the
// worker can never simply be waited for (its exit needs that lock), and must
// never run our code again. Wherever it holds nothing it leaves by an
// ordinary thread exit (which frees its stack and tells the other libraries)
// through routines of the system queued to it as APCs: they run outside our
// image, before its start routine or in its one alertable wait, its park.
// Only a worker that may be waiting for this thread, or that is still busy
// after a short grace, is suspended for good where it stands.
#include "global_hotkeys.h"
#include "hotkey_table.h"
#include "poller.h"

namespace global_hotkeys {

namespace {

bool Signalled(platform::THandle event) {
    return platform::WaitForSingleObject(event, 0) == platform::WAIT_FIRST_OBJECT;
}

// A callback is running and a message sent to this thread waits: the
// callback may be waiting for this thread (the plug-in's delivery), which is
// not going to handle it.
bool MayWaitForThisThread() {
    return CallbackRunning != 0 && (platform::GetQueueStatus(platform::QS_SENDMESSAGE_FLAG) >> 16) != 0;
}

// Queues `first(argument)` and then ExitThread to the worker; the two run
// one after the other, with none of our code between them.
bool QueueExitAfter(platform::TSystemRoutine first, platform::THandle argument) {
    return platform::QueueUserAPC(first, PollerThread, reinterpret_cast<uintptr_t>(argument)) &&
           platform::QueueUserAPC(platform::SYSTEM_EXIT_THREAD, PollerThread, 0);
}

// True when the worker leaves by an ordinary exit without running our code
// again, so what it used may be freed; false when it stays suspended for
// good and keeps it.
bool EndWorkerAtUnload() {
    const platform::THandle worker = PollerThread;
    // Stopped first, so that what is read of it holds. Unless that is
    // confirmed, nothing may be decided from it: it keeps everything.
    const bool stopped = platform::SuspendThread(worker);
    // Read by the worker only once it runs again, with its exit queued by
    // then: every way out of its loop passes an alertable wait.
    StopRequested = 1;
    if (!stopped) return false;

    // Not started: its marker has not run, so what is queued now runs before
    // its start routine and it never enters our code (a host listing its
    // plug-ins loads and unloads at once). The marker's SetEvent still needs
    // the event, so the worker closes it itself.
    if (!Signalled(WorkerMarker)) {
        if (!QueueExitAfter(platform::SYSTEM_CLOSE_HANDLE, WorkerMarker)) return false;
        WorkerMarker = nullptr;
        platform::ResumeThread(worker);
        return true;
    }

    // Started: on its way into our code, busy, in a callback or parked. It
    // exits at its park, marking the event just before; until then it may
    // finish its cycle, callbacks included, within the grace. One that may
    // be waiting for this thread in a callback would only use up the grace.
    if (!QueueExitAfter(platform::SYSTEM_SET_EVENT, WorkerMarker)) return false;
    platform::ResumeThread(worker);
    for (uint32_t wait = 0; wait < UNLOAD_GRACE_WAITS && !MayWaitForThisThread(); ++wait)
        if (platform::WaitForSingleObject(WorkerMarker, UNLOAD_GRACE_WAIT_MS) == platform::WAIT_FIRST_OBJECT)
            return true;

    // Still in our code: suspended where it stands, unless it has just
    // reached its exit.
    platform::SuspendThread(worker);
    if (!Signalled(WorkerMarker)) return false;
    platform::ResumeThread(worker);
    return true;
}

}  // namespace

void HotkeysShutdown(bool processEnding) {
    // The process is exiting: the worker is already gone and any lock, the
    // heap's included, may have died with some thread. Touch nothing.
    if (processEnding) return;
    if (PollerThread != nullptr) {
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
