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
TPollerState Poller;

namespace {

void CloseIfOpen(platform::THandle& handle) {
    if (handle != nullptr) platform::CloseHandle(handle);
    handle = nullptr;
}

// Waits for `handle`, handling messages sent to this thread's windows.
void WaitServicingMessages(platform::THandle handle) {
    for (;;) {
        platform::HandleSentMessages();
        const uint32_t result = platform::WaitForObjectsOrSentMessage(1, &handle, platform::WAIT_FOREVER);
        if (result != platform::WAIT_FIRST_OBJECT + 1) return;  // signalled, or a broken handle
    }
}

}  // namespace

void ReleasePollerObjects() {
    if (PollerLock != nullptr) ++Poller.Generation;
    delete PollerLock;
    PollerLock = nullptr;
    CloseIfOpen(Poller.Signal);
    CloseIfOpen(Poller.Marker);
}

void AbandonPollerObjects() {
    ++Poller.Generation;
    PollerLock = nullptr;
    Poller.Signal = nullptr;
    Poller.Marker = nullptr;
}

bool EnterPollerLock() {
    const uint32_t generation = Poller.Generation;
    while (!PollerLock->TryEnter()) {
        // Announced before trying again: then either the try succeeds or the
        // worker, leaving the lock, sees the announcement and signals.
        Poller.LockWaiters.fetch_add(1);
        const bool entered = PollerLock->TryEnter();
        if (!entered) {
            // Handlers run here may call the engine. One that stopped the
            // worker freed this lock and its events; one that took the lock
            // may have consumed the worker's signal: look again, do not wait.
            const uint32_t calls = Poller.EngineCalls;
            platform::HandleSentMessages();
            if (Poller.Generation == generation && Poller.EngineCalls == calls)
                platform::WaitForObjectsOrSentMessage(1, &Poller.Signal, platform::WAIT_FOREVER);
        }
        Poller.LockWaiters.fetch_sub(1);
        if (entered) return true;
        if (Poller.Generation != generation) return false;
    }
    return true;
}

bool CreatePollerObjects() {
    if (PollerLock == nullptr) PollerLock = new (std::nothrow) TCriticalSection;
    if (Poller.Signal == nullptr) Poller.Signal = platform::CreateEventA(false, false);
    if (Poller.Marker == nullptr) Poller.Marker = platform::CreateEventA(false, false);
    if (PollerLock != nullptr && Poller.Signal != nullptr && Poller.Marker != nullptr) return true;
    ReleasePollerObjects();
    return false;
}

void StartPoller() {
    StopRequested = 0;
    if (!CreatePollerObjects()) return;
    // Now, not at unload: looking them up may take the loader's and the
    // heap's locks, which a suspended worker could hold.
    platform::ResolveSystemRoutines();
    // Created suspended, so that its marker is queued before it can run: the
    // marker then runs before its start routine, whenever that comes.
    PollerThread = platform::CreateThread(PollerProc, platform::CREATE_SUSPENDED_THREAD);
    if (PollerThread == nullptr) return;
    // Without its marker, an unload must take it for started: it then waits
    // for it rather than assume it never enters our code.
    if (!platform::QueueUserAPC(platform::SYSTEM_SET_EVENT, PollerThread,
                                reinterpret_cast<uintptr_t>(Poller.Marker)))
        platform::SetEvent(Poller.Marker);
    platform::ResumeThread(PollerThread);
}

void StopPoller() {
    // Called again from a handler run during this stop's wait: the outer
    // stop is still waiting on this worker's handle and finishes the job.
    if (Poller.StopInProgress) return;
    Poller.StopInProgress = true;
    if (PollerThread != nullptr) {
        // It ends at its next alertable wait (at once when parked), where it
        // holds nothing; should the exit not queue, it returns at its next
        // test of the flag.
        platform::QueueUserAPC(platform::SYSTEM_EXIT_THREAD, PollerThread, 0);
        StopRequested = 1;
        WaitServicingMessages(PollerThread);
        platform::CloseHandle(PollerThread);
        PollerThread = nullptr;
        Poller.ThreadId = 0;
    }
    ReleasePollerObjects();
    Poller.StopInProgress = false;
}

uint32_t PollerProc(void*) {
    Poller.ThreadId = platform::GetCurrentThreadId();
    while (StopRequested == 0) {
        PollerLock->Enter();
        PollerScan();
        PollerLock->Leave();
        // A read-modify-write, not a load: ordered against a waiter's
        // announcement, so a waiter that failed to get the lock is seen.
        // Signalled only when awaited: it is a system call.
        if (Poller.LockWaiters.fetch_add(0) != 0) platform::SetEvent(Poller.Signal);
        ResetKeyStates();
        // Alertable, and its only alertable wait: a stop's ExitThread ends
        // the thread here, where it holds nothing. No handle is waited on, so
        // there is none that an unload could close under it.
        platform::SleepEx(POLL_INTERVAL_MS, true);
    }
    // Every stop has this thread's exit queued by the time the thread can
    // see the flag, so the exit is taken here, before any more of our code
    // runs (an unload relies on it).
    platform::SleepEx(0, true);
    return 0;
}

bool AddHotkey(int32_t id, uint16_t modifiers, uint16_t vk, THotkeyCallback callback) {
    ++Poller.EngineCalls;
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
    ++Poller.EngineCalls;
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

intptr_t SendMessageFromCallback(void* window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    // Declared only on the worker, and only for the send's duration.
    const bool onWorker = Poller.ThreadId != 0 && Poller.ThreadId == platform::GetCurrentThreadId();
    if (onWorker) Poller.CallbackWaitsFor = platform::GetWindowThreadProcessId(window);
    const intptr_t result = platform::SendMessageA(window, message, wParam, lParam);
    if (onWorker) Poller.CallbackWaitsFor = 0;
    return result;
}

void HotkeysStartup() {
    ResetKeyStates();
    StartPoller();
}

}  // namespace global_hotkeys
