// The emulated Windows' machine, shared by its files (internal to the
// emulated provider; tests use emulated_windows.h):
//   - the records: threads, kernel objects, sent messages, windows, the
//     critical sections, and the machine that holds them all;
//   - blocking: Block, the one way an emulated call waits, and TCall, which
//     every platform call opens first;
//   - the machine's operations on handles, messages and threads
//     (emulated_machine.cpp);
//   - failing a run, and the faults tests arm (emulated_faults.cpp).
//
// One mutex guards the whole machine. Every platform call holds it from
// entry to return, except while it waits on a condition variable or runs a
// window procedure (user code). So whenever a thread holds the mutex, every
// other thread is either running user code or parked in a wait whose
// readiness can be evaluated right there; that is what makes suspension
// synchronous, quiescence exact and deadlocks detectable.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <string>
#include <vector>

#include "emulated_windows.h"
#include "platform.h"

namespace emulated::internal {

using platform::THandle;
using platform::TWindow;
using Lock = std::unique_lock<std::mutex>;

// --- The records.

enum class TLife { Running, Finished, Terminated };

struct TSentMessage {
    TWindow Window;
    uint32_t Message;
    uintptr_t WParam;
    intptr_t LParam;
    intptr_t Result = 0;
    bool Done = false;
    bool NoSender = false;  // nobody waits for it: freed once handled
    TSentMessage* Next = nullptr;
};

// Something the emulator does when a thread blocks in a given call.
struct TTrigger {
    std::string WaitName;
    enum class TAction { OpenGate, Send } Action;
    TWindow Window = nullptr;
    uint32_t Message = 0;
    int Remaining = 1;  // fires at this many-th block in WaitName
};

struct TApc {
    platform::TSystemRoutine Routine;
    uintptr_t Argument;
};

struct TThread {
    int Number = 0;
    bool Created = false;  // by CreateThread; otherwise a thread of the test
    TLife Life = TLife::Running;
    int SuspendCount = 0;
    bool InPlatform = false;  // inside a platform call (not in user code)
    bool Waiting = false;
    const char* WaitName = "";
    bool (*ReadyFn)(const void*) = nullptr;  // the wait's condition
    const void* ReadyContext = nullptr;
    bool HasDeadline = false;
    uint64_t Deadline = 0;
    TSentMessage* Inbox = nullptr;  // messages sent to this thread's windows
    // InSendMessageEx's answer: that of the innermost message from another
    // thread being handled (1 ISMEX_SEND, 2 ISMEX_NOTIFY), 0 outside any.
    uint32_t Receiving = 0;
    std::vector<TApc> Apcs;         // queued, not run yet
    platform::TThreadRoutine Routine = nullptr;
    uint32_t Image = 0;  // the library image whose code it runs
    // Who suspended it, and under which hold of the loader lock (0: none).
    TThread* SuspendedBy = nullptr;
    uint64_t SuspendEpoch = 0;
};

// Whether TerminateThread may end it without leaving a lock held: blocked in
// one of the platform's waits, or not started yet.
bool BlockedInAWaitOrNotStarted(const TThread& thread);
const char* ThreadWaitNameOf(const TThread& thread);

// Thrown by an alertable wait whose queued routines ended the thread: unwinds
// the thread's routine to ThreadBody, which makes the exit.
struct TThreadExit {};

struct TObject {
    enum class TKind { Event, Thread } Kind;
    bool Open = true;
    bool ManualReset = false;
    bool Signalled = false;
    TThread* Thread = nullptr;
};

struct TWindowRecord {
    TThread* Owner;
    emulated::TWindowProc Procedure;
    bool Alive = true;
};

struct TSectionRecord {
    uint32_t Magic;
    int Count;
    TThread* Owner;
};
constexpr uint32_t SECTION_MAGIC = 0x43726974;
static_assert(sizeof(TSectionRecord) <= sizeof(platform::TPlatformCriticalSection),
              "critical section record must fit its storage");

constexpr int KEY_COUNT = 65536;
constexpr auto QUIESCENCE_GUARD = std::chrono::seconds(30);

// Which calls of one kind fail: after Skip more calls, the next Count.
struct TFaultPlan {
    int Skip = 0;
    int Count = 0;
};

struct TMachine {
    std::mutex Mutex;
    std::condition_variable Changed;
    std::condition_variable Quiet;   // a thread has parked or ended
    std::condition_variable Frozen;  // suspended and ended threads wait here; ResumeThread wakes them
    std::vector<TThread*> Threads;
    std::vector<TObject*> Objects;  // handle = (index + 1) * 4
    // Slots of closed handles, the last closed on top: a new object takes
    // the value freed last, as Windows and Wine hand closed values out again.
    std::vector<size_t> FreeSlots;
    std::vector<TWindowRecord*> Windows;  // window = 0x10000 + index * 2
    uint8_t Down[KEY_COUNT] = {};
    uint8_t PressedSince[KEY_COUNT] = {};
    // The input desktop is not the caller's (lock screen, UAC prompt) or an
    // elevated window is in front: every key reads 0, and presses meanwhile
    // leave no pressed-since bit.
    bool KeyStateInaccessible = false;
    uint32_t Queries[KEY_COUNT] = {};
    uint64_t TotalQueries = 0;
    uint64_t TimedWaits = 0;  // waits with a timeout that blocked
    uint64_t Now = 0;
    bool AutoClock = false;
    TThread* LoaderOwner = nullptr;
    int LoaderDepth = 0;
    int GateVk = -1;
    std::string GateCall;  // a platform call whose next call blocks, as GateVk
    std::string GateWaitName;  // "NAME (gated)"
    std::string GateReturn;    // a platform call whose next return blocks
    std::string GateReturnWaitName;  // "NAME (gated return)"
    std::vector<TTrigger> Triggers;
    TFaultPlan Faults[emulated::FAULT_COUNT];
    // The library's image: its generation, whether it is mapped, and whether
    // it has looked up its system routines.
    uint32_t Image = 1;
    bool ImageMapped = true;
    bool RoutinesResolved = false;
    uint64_t LoaderEpoch = 0;  // moves on at each first take of the loader lock
    uint64_t TimerTick = 0;    // timed waits end on a multiple of it (0: exactly)
    emulated::TMessageBoxRecord Box;
    bool KeepNextBoxOpen = false;
    bool BoxOpen = false;
};

TMachine& M();

// The record of the calling thread (a thread of the test gets one on its
// first call). The machine's mutex must be held.
TThread& SelfLocked();
extern thread_local TThread* CurrentThread;

bool Runnable(const TThread& t);
bool Ready(const TThread& t);
// A thread that cannot move until something else happens.
bool Stuck(const TThread& t);

// --- Failing a run (emulated_faults.cpp).

// Prints where every thread waits, then aborts: the one way the emulation
// fails a run, for a deadlock or for what Windows would punish with a crash
// or a hang.
[[noreturn]] void FailRun(const char* why);
// A misuse of the platform, named with the call it happened in.
[[noreturn]] void Violation(const char* what, const char* where);
// A thread made by CreateThread runs the library's code: once that
// library's image is gone, it may neither enter it nor call out of it.
void CheckImage(const TThread& self, const char* what, const char* where);
// True when this call of the kind `fault` is one a test armed to fail.
bool Faulted(emulated::TFault fault);

// --- Blocking.

// If every thread is now stuck, either the clock runs on (auto clock;
// true) or nothing can ever move again and the run fails.
bool CheckProgress();
void FireTriggers(const char* waitName);
// When a timed wait of `milliseconds` from now ends, on the timer tick.
uint64_t DeadlineIn(uint32_t milliseconds);

template <class TPred>
bool CallPredicate(const void* context) {
    return (*static_cast<const TPred*>(context))();
}

// Parks the calling thread until `ready` holds (true) or the virtual deadline
// passes (false). A suspended or terminated thread never leaves.
template <class TPred>
bool Block(Lock& lock, TThread& self, const char* name, const TPred& ready,
           bool hasDeadline = false, uint64_t deadline = 0) {
    TMachine& m = M();
    FireTriggers(name);
    self.Waiting = true;
    self.WaitName = name;
    self.ReadyFn = &CallPredicate<TPred>;
    self.ReadyContext = &ready;
    self.HasDeadline = hasDeadline;
    self.Deadline = deadline;
    bool satisfied = false;
    for (;;) {
        if (!Runnable(self)) {
            // Suspended or ended: waits apart, out of every notification's
            // way but ResumeThread's.
            m.Quiet.notify_all();
            m.Frozen.wait(lock);
            continue;
        }
        if (ready()) {
            satisfied = true;
            break;
        }
        if (hasDeadline && m.Now >= deadline) break;
        if (CheckProgress()) continue;  // the clock moved: look again
        m.Quiet.notify_all();
        m.Changed.wait(lock);
    }
    self.Waiting = false;
    self.WaitName = "";
    self.ReadyFn = nullptr;
    self.HasDeadline = false;
    return satisfied;
}

// A platform call: holds the machine from entry to return, and is where a
// suspended thread stops.
class TCall {
public:
    explicit TCall(const char* name) : Guard(M().Mutex), Self(SelfLocked()), Name(name) {
        CheckImage(Self, "a thread of the unloaded library made a platform call", Name);
        Self.InPlatform = true;
        M().Changed.notify_all();
        Hold();
        if (Self.Created && M().GateCall == Name) HoldAtGate();
    }
    ~TCall() {
        if (Self.Created && M().GateReturn == Name && std::uncaught_exceptions() == 0) HoldAtReturnGate();
        Hold();
        Self.InPlatform = false;
        // Unwinding (ExitThread) runs none of the library's code.
        if (std::uncaught_exceptions() == 0)
            CheckImage(Self, "a thread returned into the unloaded library's code from", Name);
    }
    TCall(const TCall&) = delete;
    TCall& operator=(const TCall&) = delete;

    void HoldAtGate();
    void HoldAtReturnGate();

    // Runs user code (a window procedure) outside the machine.
    template <class TFn>
    intptr_t RunUserCode(const TFn& fn) {
        Self.InPlatform = false;
        Guard.unlock();
        intptr_t result = fn();
        Guard.lock();
        Self.InPlatform = true;
        M().Changed.notify_all();
        Hold();
        return result;
    }

    Lock Guard;
    TThread& Self;
    const char* Name;

private:
    void Hold() {
        if (!Runnable(Self)) Block(Guard, Self, "(suspended)", [] { return true; });
    }
};

// --- Handles, threads and messages (emulated_machine.cpp).

TObject* ObjectOf(THandle handle);  // null for a closed or unknown handle
THandle AddObject(TObject* object);
TThread* ThreadOf(THandle handle);
TWindowRecord* WindowOf(TWindow window);
bool Signalled(const TObject& object);
bool SetEventLocked(THandle handle);
bool CloseHandleLocked(THandle handle);
TSectionRecord& SectionOf(platform::TPlatformCriticalSection& section);

// Completes, unhandled, every message sent to `window` (all of `thread`'s
// when window is 0) that its owner has not taken yet.
void DropInbox(TThread& thread, TWindow window);
void Enqueue(TThread& owner, TSentMessage* message);
// Handles the messages sent to the calling thread's windows; true if any.
bool ServiceInbox(TCall& call);
// The waits of platform.h: on `handles`, and with `wakeOnSentMessage` on a
// message sent to the caller's windows too.
uint32_t WaitForObjects(TCall& call, uint32_t count, const THandle* handles, uint32_t milliseconds,
                        bool wakeOnSentMessage, const char* name);

// Runs the routines queued to `thread`, in order, on it; true when one of
// them was ExitThread (those after it never run).
bool RunQueuedRoutines(TThread& thread);
bool LoaderLockFreeFor(const TThread& thread);
// The body of a thread made by CreateThread.
void ThreadBody(TThread* thread);
void EndThread(TThread& thread, TLife how);

// The unload's rule, as Windows enforces it with a hang: a thread that holds
// the loader lock and has suspended another thread (which may be inside the
// loader or the heap) must not use either until it resumes that thread.
void CheckNoLoaderOrHeapUse(const TCall& call);

}  // namespace emulated::internal
