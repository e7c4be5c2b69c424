#include "poller.h"

#include <new>

#include "global_hotkeys.h"
#include "hotkey_table.h"
#include "key_sampler.h"

namespace global_hotkeys {

TCriticalSection::TCriticalSection() { platform::InitializeCriticalSection(Section); }
TCriticalSection::~TCriticalSection() { platform::DeleteCriticalSection(Section); }
void TCriticalSection::Enter() { platform::EnterCriticalSection(Section); }
bool TCriticalSection::TryEnter() { return platform::TryEnterCriticalSection(Section); }
void TCriticalSection::Leave() { platform::LeaveCriticalSection(Section); }

platform::THandle PollerThread = nullptr;
TCriticalSection* PollerLock = nullptr;
std::atomic<uint8_t> StopRequested{0};
platform::THandle PollerWake = nullptr;
platform::THandle WorkerSignal = nullptr;
std::atomic<uint8_t> PollerPhase{POLLER_STARTING};
std::atomic<uint32_t> LockWaiters{0};
uint32_t PollerGeneration = 0;
uint32_t EngineCalls = 0;
bool StopInProgress = false;

namespace {

void CloseIfOpen(platform::THandle& handle) {
    if (handle != nullptr) platform::CloseHandle(handle);
    handle = nullptr;
}

// Frees what the worker used. Only once no worker can touch it again.
void ReleasePollerObjects() {
    if (PollerLock != nullptr) ++PollerGeneration;
    delete PollerLock;
    PollerLock = nullptr;
    CloseIfOpen(PollerWake);
    CloseIfOpen(WorkerSignal);
}

// Forgets what an abandoned worker may still hold, without freeing it: the
// suspended thread keeps the lock and the events for the rest of the process.
void AbandonPollerObjects() {
    ++PollerGeneration;
    PollerLock = nullptr;
    PollerWake = nullptr;
    WorkerSignal = nullptr;
}

// Waits for `handle`, handling messages sent to this thread's windows.
void WaitServicingMessages(platform::THandle handle) {
    for (;;) {
        platform::PeekMessageA();
        const uint32_t result = platform::MsgWaitForMultipleObjects(1, &handle, platform::WAIT_FOREVER);
        if (result != platform::WAIT_FIRST_OBJECT + 1) return;  // signalled, or a broken handle
    }
}

}  // namespace

bool EnterPollerLock() {
    const uint32_t generation = PollerGeneration;
    while (!PollerLock->TryEnter()) {
        // Announced before trying again: then either the try succeeds or the
        // worker, leaving the lock, sees the announcement and signals.
        LockWaiters.fetch_add(1);
        const bool entered = PollerLock->TryEnter();
        if (!entered) {
            // Handlers run here may call the engine. One that stopped the
            // worker freed this lock and its events; one that took the lock
            // may have consumed the worker's signal: look again, do not wait.
            const uint32_t calls = EngineCalls;
            platform::PeekMessageA();
            if (PollerGeneration == generation && EngineCalls == calls)
                platform::MsgWaitForMultipleObjects(1, &WorkerSignal, platform::WAIT_FOREVER);
        }
        LockWaiters.fetch_sub(1);
        if (entered) return true;
        if (PollerGeneration != generation) return false;
    }
    return true;
}

bool CreatePollerObjects() {
    if (PollerLock == nullptr) PollerLock = new (std::nothrow) TCriticalSection;
    if (PollerWake == nullptr) PollerWake = platform::CreateEventA(false, false);
    if (WorkerSignal == nullptr) WorkerSignal = platform::CreateEventA(false, false);
    if (PollerLock != nullptr && PollerWake != nullptr && WorkerSignal != nullptr) return true;
    ReleasePollerObjects();
    return false;
}

void StartPoller() {
    StopRequested = 0;
    PollerPhase = POLLER_STARTING;
    if (CreatePollerObjects()) PollerThread = platform::CreateThread(PollerProc);
}

void StopPoller() {
    // Called again from a handler run during this stop's wait: the outer
    // stop is still waiting on this worker's handle and finishes the job.
    if (StopInProgress) return;
    StopInProgress = true;
    if (PollerThread != nullptr) {
        StopRequested = 1;
        platform::SetEvent(PollerWake);
        WaitServicingMessages(PollerThread);
        platform::CloseHandle(PollerThread);
        PollerThread = nullptr;
    }
    ReleasePollerObjects();
    StopInProgress = false;
}

uint32_t PollerProc(void*) {
    for (;;) {
        // Checked before leaving the parked phase: a worker on its way out
        // holds nothing, and shut-down may end it there.
        if (StopRequested != 0) return 0;
        PollerPhase = POLLER_BUSY;
        PollerLock->Enter();
        try {
            ScanHotkeys();
        } catch (...) {
            // A callback's exception ends this cycle's scan, nothing more.
        }
        PollerLock->Leave();
        // A read-modify-write, not a load: ordered against a waiter's
        // announcement, so a waiter that failed to get the lock is seen.
        // Signalled only when awaited: it is a system call.
        if (LockWaiters.fetch_add(0) != 0) platform::SetEvent(WorkerSignal);
        ResetKeyStates();
        PollerPhase = POLLER_PARKED;
        if (StopRequested != 0) platform::SetEvent(WorkerSignal);  // a shut-down waits for this
        platform::WaitForSingleObject(PollerWake, POLL_INTERVAL_MS);
    }
}

bool AddHotkey(int32_t id, uint16_t modifiers, uint16_t vk, THotkeyCallback callback) {
    ++EngineCalls;
    for (;;) {
        if (PollerThread == nullptr) {
            if (!CreatePollerObjects()) return false;
            // Taken before the new worker exists, so that its first scan
            // already sees this entry: a key pressed while no worker ran
            // fires in it.
            PollerLock->Enter();
            StartPoller();
            break;
        }
        // False: a handler run during the wait stopped the worker; decide
        // again.
        if (EnterPollerLock()) break;
    }
    const bool stored = AppendHotkey(id, modifiers, vk, callback);
    PollerLock->Leave();
    return stored;
}

bool RemoveHotkey(int32_t id) {
    ++EngineCalls;
    do {
        if (PollerLock == nullptr) return false;
    } while (!EnterPollerLock());
    const bool removed = DeleteHotkey(id);
    PollerLock->Leave();
    if (HotkeyLast == -1) {
        StopPoller();
        // Handlers run while the stop waited may have added entries: they
        // were reported stored, so they get a worker.
        if (HotkeyLast != -1) StartPoller();
    }
    return removed;
}

void HotkeysStartup() {
    ResetKeyStates();
    StartPoller();
}

void HotkeysShutdown(bool processEnding) {
    // The process is exiting: the worker is already gone and any lock, the
    // heap's included, may have died with some thread. Touch nothing.
    if (processEnding) return;
    if (PollerThread == nullptr) {
        ReleasePollerObjects();
        return;
    }
    // The library is being unloaded under the loader lock, so the worker
    // cannot simply be waited for (its exit needs that lock, and a callback
    // may be waiting for this very thread), and it must never run our code
    // again. Parked in its timed wait it holds no lock of ours or the
    // system's; not yet started (the loader lock has held it back since the
    // library was loaded), it has touched nothing: either way it is stopped
    // synchronously, then ended, and everything is freed. Busy outside a
    // callback, it finishes its cycle without help within microseconds: give
    // it a short grace to park, rather than stop it inside a system call
    // (under Wine such a call may hold a process-wide lock). In a callback,
    // or still busy past the grace, it may hold our lock or wait for this
    // very thread: it stays suspended for the rest of the process and keeps
    // the lock and events.
    StopRequested = 1;
    for (uint32_t i = 0; i < PARK_GRACE_WAITS && PollerPhase == POLLER_BUSY && CallbackRunning == 0; ++i)
        platform::WaitForSingleObject(WorkerSignal, PARK_GRACE_WAIT_MS);
    // Always before ending it: ending a thread that still runs (under Wine,
    // one that has not reached its routine) can take the process down.
    platform::SuspendThread(PollerThread);
    if (PollerPhase == POLLER_BUSY) {
        AbandonPollerObjects();
    } else {
        platform::TerminateThread(PollerThread);
        ReleasePollerObjects();
    }
    platform::CloseHandle(PollerThread);
    PollerThread = nullptr;
}

}  // namespace global_hotkeys
