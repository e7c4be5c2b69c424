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

bool Signalled(platform::THandle handle) {
    return platform::WaitForSingleObject(handle, 0) == platform::WAIT_FIRST_OBJECT;
}

// Leaves the lock, telling a thread waiting for it in EnterPollerLock.
// Signalled only when awaited: it is a system call. A read-modify-write, not
// a load: ordered against a waiter's announcement, so a waiter that failed
// to get the lock is seen.
void LeavePollerLock() {
    PollerLock->Leave();
    if (Poller.LockWaiters.fetch_add(0) != 0) platform::SetEvent(Poller.LockFreed);
}

TWorkerRecord* ClaimWorkerRecord() {
    ReapLetGoWorkers();
    for (TWorkerRecord& record : Poller.Workers) {
        if (record.InUse) continue;
        record.InUse = true;
        record.ThreadId = 0;
        record.Send = WORKER_SCANNING;
        record.SendsTo = 0;
        return &record;
    }
    return nullptr;
}

void FreeWorkerRecord(TWorkerRecord& record) {
    record.ThreadId = 0;
    CloseIfOpen(record.Thread);
    CloseIfOpen(record.Marker);
    record.InUse = false;
}

// The worker's callback sends to a window of this thread, nothing sent waits
// here, and this thread is handling a message from another thread: the
// send is being handled up this thread's stack, which the worker cannot
// outwait. Let go, the worker touches nothing more once its send returns.
// Outside any such handler the send is on its way and is waited for, so
// that it is handled before the stop returns. (Inside the handler of some
// other thread's message, a send just on its way is taken for handled: it
// then reaches the window after the stop.)
bool LetGoIfItWaitsForThisThread() {
    TWorkerRecord* worker = Poller.Current;
    if (worker == nullptr || worker->SendsTo != platform::GetCurrentThreadId()) return false;
    if ((platform::GetQueueStatus(platform::QS_SENDMESSAGE_FLAG) >> 16) != 0) return false;
    if (platform::InSendMessageEx() == 0) return false;
    uint8_t lending = WORKER_LENDING;
    return worker->Send.compare_exchange_strong(lending, WORKER_LET_GO);
}

// Waits for the worker's end, handling messages sent to this thread's
// windows. False when the worker was let go instead.
bool WaitForPollerOrLetItGo() {
    for (;;) {
        platform::HandleSentMessages();
        if (LetGoIfItWaitsForThisThread()) return false;
        const uint32_t result = platform::WaitForObjectsOrSentMessage(1, &PollerThread, platform::WAIT_FOREVER);
        if (result != platform::WAIT_FIRST_OBJECT + 1) return true;  // ended, or a broken handle
    }
}

// A let-go worker's record keeps its thread and marker; with the lock and
// the other event freed, the module is as after any stop.
void KeepLetGoWorker() {
    // A later worker's first scan takes cache bytes as they are: keys found
    // up are sampled afresh; keys found down stay so, and entries added for
    // them start as fired (AddHotkey), so that the press under way fires
    // nothing again.
    for (uint8_t& sample : KeyStates)
        if (sample != KEY_DOWN) sample = KEY_UNSAMPLED;
    Poller.CacheFromLetGo = 1;
    Poller.Current->Thread = PollerThread;
    Poller.Current->Marker = Poller.Marker;
    Poller.Marker = nullptr;
    PollerThread = nullptr;
    CallbackRunning = 0;
    ScanSlot = -1;
}

}  // namespace

void ReleasePollerObjects() {
    if (PollerLock != nullptr) ++Poller.Generation;
    delete PollerLock;
    PollerLock = nullptr;
    CloseIfOpen(Poller.LockFreed);
    CloseIfOpen(Poller.Marker);
}

void AbandonPollerObjects() {
    ++Poller.Generation;
    PollerLock = nullptr;
    Poller.LockFreed = nullptr;
    Poller.Marker = nullptr;
}

bool QueueExitAfter(platform::TSystemRoutine first, platform::THandle thread, platform::THandle argument) {
    return platform::QueueUserAPC(first, thread, reinterpret_cast<uintptr_t>(argument)) &&
           platform::QueueUserAPC(platform::SYSTEM_EXIT_THREAD, thread, 0);
}

void ReapLetGoWorkers() {
    for (TWorkerRecord& record : Poller.Workers)
        if (record.InUse && record.Thread != nullptr && Signalled(record.Thread)) FreeWorkerRecord(record);
}

TWorkerRecord* WorkerRecordOfThisThread() {
    const uint32_t self = platform::GetCurrentThreadId();
    for (TWorkerRecord& record : Poller.Workers)
        if (record.ThreadId == self) return &record;
    return nullptr;
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
                platform::WaitForObjectsOrSentMessage(1, &Poller.LockFreed, platform::WAIT_FOREVER);
        }
        Poller.LockWaiters.fetch_sub(1);
        if (entered) return true;
        if (Poller.Generation != generation) return false;
    }
    return true;
}

bool CreatePollerObjects() {
    if (PollerLock == nullptr) PollerLock = new (std::nothrow) TCriticalSection;
    if (Poller.LockFreed == nullptr) Poller.LockFreed = platform::CreateEventA(false, false);
    if (Poller.Marker == nullptr) Poller.Marker = platform::CreateEventA(false, false);
    if (PollerLock != nullptr && Poller.LockFreed != nullptr && Poller.Marker != nullptr) return true;
    ReleasePollerObjects();
    return false;
}

void StartPoller() {
    StopRequested = 0;
    if (!CreatePollerObjects()) return;
    // Now, not at unload: looking them up may take the loader's and the
    // heap's locks, which a suspended worker could hold.
    platform::ResolveSystemRoutines();
    Poller.Current = ClaimWorkerRecord();
    if (Poller.Current == nullptr) return;
    // Created suspended, so that its marker is queued before it can run: the
    // marker then runs before its start routine, whenever that comes.
    PollerThread = platform::CreateThread(PollerProc, platform::CREATE_SUSPENDED_THREAD);
    if (PollerThread == nullptr) {
        FreeWorkerRecord(*Poller.Current);
        Poller.Current = nullptr;
        return;
    }
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
        // holds nothing, setting its marker just before (the one set as it
        // started is taken first); should the exit not queue, it returns at
        // its next test of the flag, or, let go, after its send.
        Signalled(Poller.Marker);
        QueueExitAfter(platform::SYSTEM_SET_EVENT, PollerThread, Poller.Marker);
        StopRequested = 1;
        if (WaitForPollerOrLetItGo()) {
            platform::CloseHandle(PollerThread);
            PollerThread = nullptr;
            FreeWorkerRecord(*Poller.Current);
        } else {
            KeepLetGoWorker();
        }
        Poller.Current = nullptr;
        Poller.ThreadId = 0;
    }
    ReleasePollerObjects();
    Poller.StopInProgress = false;
}

uint32_t PollerProc(void*) {
    const uint32_t self = platform::GetCurrentThreadId();
    Poller.Current->ThreadId = self;
    Poller.ThreadId = self;
    while (StopRequested == 0) {
        PollerLock->Enter();
        // Let go in a callback's send: it holds nothing and leaves.
        if (!PollerScan()) break;
        LeavePollerLock();
        ResetKeyStates();
        Poller.CacheFromLetGo = 0;
        // Alertable, and its only alertable wait: a stop's ExitThread ends
        // the thread here, where it holds nothing. No handle is waited on, so
        // there is none that an unload could close under it.
        platform::SleepEx(POLL_INTERVAL_MS, true);
    }
    // Every stop has this thread's exit queued by the time the thread can
    // see the flag, or be let go, so the exit is taken here, before any more
    // of our code runs (an unload relies on it).
    platform::SleepEx(0, true);
    return 0;
}

bool RunHotkeyCallback(const THotkeyEntry& entry) {
    // Null when the table is scanned off the workers (as tests do).
    TWorkerRecord* const worker = WorkerRecordOfThisThread();
    CallbackRunning = 1;
    entry.callback(entry.id);
    if (worker != nullptr && worker->Send != WORKER_SCANNING) return false;
    CallbackRunning = 0;
    return true;
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
    // Added while a press is being handled (from the handler of the very
    // press, say): if the pass under way found its key down, that press
    // must not fire it too. The worker does not touch the cache while its
    // send waits, nor does a worker let go.
    if (stored && (Poller.SendsInFlight != 0 || Poller.CacheFromLetGo != 0) && vk < sizeof KeyStates &&
        KeyStates[vk] == KEY_DOWN)
        HotkeyTable[HotkeyLast].pressed = 1;
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
    TWorkerRecord* const worker = WorkerRecordOfThisThread();
    if (worker == nullptr) return platform::SendMessageA(window, message, wParam, lParam);
    // Let go by a stop: nothing more is sent.
    if (worker->Send != WORKER_SCANNING) return 0;
    // The lock is lent out for the send: the thread that handles it may
    // register and remove meanwhile (the scan follows the table's changes).
    worker->SendsTo = platform::GetWindowThreadProcessId(window);
    ++Poller.SendsInFlight;
    worker->Send = WORKER_LENDING;
    LeavePollerLock();
    const intptr_t result = platform::SendMessageA(window, message, wParam, lParam);
    uint8_t lending = WORKER_LENDING;
    const bool kept = worker->Send.compare_exchange_strong(lending, WORKER_SCANNING);
    --Poller.SendsInFlight;
    if (!kept) {
        worker->Send = WORKER_LEAVING;
        return result;
    }
    worker->SendsTo = 0;
    PollerLock->Enter();
    return result;
}

void HotkeysStartup() {
    ResetKeyStates();
    StartPoller();
}

}  // namespace global_hotkeys
