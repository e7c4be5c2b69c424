// The worker that makes the table live, its lock, and the module's
// start-up and shut-down. Internal to global_hotkeys; tests look in here.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform.h"

namespace global_hotkeys {

constexpr uint32_t POLL_INTERVAL_MS = 100;

class TCriticalSection {
public:
    TCriticalSection();
    virtual ~TCriticalSection();
    TCriticalSection(const TCriticalSection&) = delete;
    TCriticalSection& operator=(const TCriticalSection&) = delete;

    void Enter();
    bool TryEnter();
    void Leave();

private:
    platform::TPlatformCriticalSection Section;
};

// How long shut-down lets a worker that does not wait for the unloading
// thread finish its cycle and leave (a cycle without callbacks takes well
// under a millisecond), by a deadline on the performance counter; and how
// often it looks meanwhile whether a callback has begun to wait for it. The
// last wait may overrun the deadline by up to one timer tick (15.6 ms by
// default on Windows).
constexpr uint32_t UNLOAD_GRACE_MS = 100;
constexpr uint32_t UNLOAD_GRACE_STEP_MS = 10;

// How the last HotkeysShutdown ended the worker, for tests and probes.
enum TShutdownPath : uint8_t {
    SHUTDOWN_NO_WORKER,          // none to end (or the process was ending)
    SHUTDOWN_ENDED_BEFORE_START, // exited before reaching our code
    SHUTDOWN_ENDED_AT_PARK,      // exited at its park, after its cycle
    SHUTDOWN_WORKER_LEFT,        // suspended for good where it stood
    SHUTDOWN_WORKER_TERMINATED,  // not suspendable, and ended where it blocked
};

extern platform::THandle PollerThread;  // 0 when there is no worker
extern TCriticalSection* PollerLock;    // null when there is no worker
extern std::atomic<uint8_t> StopRequested;

// What a worker's callback is doing with the lock, while it sends through
// SendMessageFromCallback: the lock is lent out for the send (so that the
// thread handling it may register and remove meanwhile), and a stop that the
// send waits for lets the worker go rather than wait for it.
enum TWorkerSend : uint8_t {
    WORKER_SCANNING,  // holding the lock, or between cycles
    WORKER_LENDING,   // in its send, the lock lent out
    WORKER_LET_GO,    // stopped while in its send: touches nothing more
    WORKER_LEAVING,   // let go, its send over: on its way to its exit
};

// One worker's record, in a static pool rather than on its stack: a worker
// let go keeps reading its record after a new worker has started, until it
// has left. The worker finds its record by its thread identifier.
struct TWorkerRecord {
    std::atomic<uint32_t> ThreadId{0};  // written by the worker as it starts
    std::atomic<uint8_t> Send{WORKER_SCANNING};
    std::atomic<uint32_t> SendsTo{0};  // the thread a lent send waits for
    // Kept once the worker is let go: its handle, and its marker, set just
    // before its exit.
    platform::THandle Thread = nullptr;
    platform::THandle Marker = nullptr;
    bool InUse = false;
};
// The running worker's and those let go that have not ended yet: one per
// nested stop from inside a handler. With none free, no worker can start
// (as when the thread cannot be made) until one has left.
constexpr int WORKER_RECORDS = 4;

// The rest of the worker's state: what its start, stop and unload share with
// the threads that wait for its lock, and what tests and probes read. One
// record, so that it is reset in one place.
struct TPollerState {
    // Auto-reset: the lock was freed while LockWaiters was not 0.
    platform::THandle LockFreed = nullptr;
    // Auto-reset, set by the system's SetEvent queued to the worker: first
    // before its start routine (so an unload can tell whether it has reached
    // our code), then at a stop or an unload, just before its exit. When
    // that first SetEvent cannot be queued, StartPoller sets it itself: an
    // unload then takes the worker for started, and one not started yet is
    // suspended after the grace.
    platform::THandle Marker = nullptr;
    // The worker's thread identifier, written by the worker as it starts.
    std::atomic<uint32_t> ThreadId{0};
    TWorkerRecord* Current = nullptr;  // the running worker's record
    TWorkerRecord Workers[WORKER_RECORDS];
    // Callbacks' sends not yet returned, of the running worker or of one let
    // go: an entry added meanwhile, whose key the pass under way found down,
    // starts as fired, so that the press being handled does not fire it too.
    std::atomic<uint32_t> SendsInFlight{0};
    // The key cache still holds the samples of a worker let go mid-scan; the
    // next worker's first reset clears it.
    std::atomic<uint8_t> CacheFromLetGo{0};
    std::atomic<uint32_t> LockWaiters{0};  // threads waiting in EnterPollerLock
    // Moves on whenever the lock is freed: a wait that began under another
    // generation must not touch the lock or events it knew (a new lock may
    // sit at the old address, a new event or thread under the old handle
    // value).
    uint32_t Generation = 0;
    // AddHotkey and RemoveHotkey calls so far: a wait tells by it that a
    // handler it ran called the engine.
    uint32_t EngineCalls = 0;
    // A StopPoller is waiting for the worker; a nested one leaves it alone.
    bool StopInProgress = false;
    TShutdownPath LastShutdown = SHUTDOWN_NO_WORKER;
};
extern TPollerState Poller;

// Returns the whole module to its state at load: no worker, lock or events
// (forgotten, not freed), an empty table, no key samples. For a process
// that starts over with a fresh image, as tests do.
void ForgetModuleState();

// Makes the lock and the two events where they are missing; if one cannot be
// made, frees them all, leaves PollerLock null and returns false.
bool CreatePollerObjects();

// Frees the lock and the events. Only once no worker can touch them again.
void ReleasePollerObjects();

// Forgets the lock and the events without freeing them: a worker suspended
// for good may hold them.
void AbandonPollerObjects();

// Makes what CreatePollerObjects makes, looks up the system routines an
// unload queues (while no worker can be suspended), then the worker. If
// only the thread cannot be made, the lock stays and PollerThread is 0: the
// entries stored meanwhile fire once the next AddHotkey has started one,
// with the same lock.
void StartPoller();

// Ends the worker and waits for it, handling messages sent to the calling
// thread's windows meanwhile, then frees the lock and the events. A worker
// whose callback's send waits for this very thread (it is being handled up
// this thread's stack) cannot end before that handler returns: it is let go
// instead. It holds nothing, and when its send returns it leaves without
// touching the table, the lock or anything else of the module's; its
// record, handle and marker are kept until it has ended.
void StopPoller();

// Closes what is kept of let-go workers that have ended.
void ReapLetGoWorkers();

// Queues `first(argument)` and then ExitThread to `thread`; the two run one
// after the other, with none of our code between them.
bool QueueExitAfter(platform::TSystemRoutine first, platform::THandle thread, platform::THandle argument);

uint32_t PollerProc(void* unused);

// One scan of the table, on the worker with the lock held; false when the
// worker was let go during a callback (it then holds nothing and must only
// leave). Built one of two ways, chosen by the target that links the module: for general callers,
// whose callbacks may throw, what a callback throws is caught and dropped
// (poller_scan_catching.cpp); in a module without a C++ runtime, callbacks
// cannot throw and nothing catches (poller_scan_plain.cpp).
bool PollerScan();

// The calling worker's record; null off the workers.
TWorkerRecord* WorkerRecordOfThisThread();

// Takes PollerLock, handling messages sent to the calling thread's windows
// while the worker holds it: a callback may be waiting for this very thread.
// False, without the lock, when a handler run meanwhile stopped the worker
// (and so freed the lock): the caller decides afresh.
bool EnterPollerLock();

}  // namespace global_hotkeys
