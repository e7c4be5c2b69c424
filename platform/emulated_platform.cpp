// The emulated Windows: platform.h in portable C++, with the controls of
// emulated_windows.h.
//
// One mutex guards the whole emulated machine. Every platform call holds it
// from entry to return, except while it waits on the condition variable or
// runs a window procedure (user code). So whenever a thread holds the mutex,
// every other thread is either running user code or parked in a wait whose
// readiness can be evaluated right there; that is what makes suspension
// synchronous, quiescence exact and deadlocks detectable.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "emulated_windows.h"
#include "platform.h"

namespace {

using platform::THandle;
using platform::TWindow;
using Lock = std::unique_lock<std::mutex>;

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
    std::vector<TApc> Apcs;         // queued, not run yet
    platform::TThreadRoutine Routine = nullptr;
    uint32_t Image = 0;  // the library image whose code it runs
    // Who suspended it, and under which hold of the loader lock (0: none).
    TThread* SuspendedBy = nullptr;
    uint64_t SuspendEpoch = 0;
};

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
    uint32_t Queries[KEY_COUNT] = {};
    uint64_t TotalQueries = 0;
    uint64_t Now = 0;
    bool AutoClock = false;
    TThread* LoaderOwner = nullptr;
    int LoaderDepth = 0;
    int GateVk = -1;
    std::vector<TTrigger> Triggers;
    int FailThreads = 0;
    int FailEvents = 0;
    int FailContexts = 0;
    // Counting down to the call that fails (or is delayed): 0 when none.
    int FailApcIn = 0;
    int FailSuspendIn = 0;
    int DelaySuspendIn = 0;
    // The library's image: its generation, whether it is mapped, and whether
    // it has looked up its system routines.
    uint32_t Image = 1;
    bool ImageMapped = true;
    bool RoutinesResolved = false;
    uint64_t LoaderEpoch = 0;  // moves on at each first take of the loader lock
    uint64_t TimerTick = 0;    // timed waits end on a multiple of it (0: exactly)
    emulated::TMessageBoxRecord Box;
};

// Never destroyed: threads the emulation abandons stay parked on it until the
// process ends.
TMachine& M() {
    static TMachine* machine = new TMachine;
    return *machine;
}

thread_local TThread* CurrentThread = nullptr;

// Marks a thread of the test as ended when it exits, which also ends its
// windows.
void EndThread(TThread& thread, TLife how);
struct TForeignGuard {
    TThread* Thread = nullptr;
    ~TForeignGuard() {
        if (Thread == nullptr) return;
        Lock lock(M().Mutex);
        EndThread(*Thread, TLife::Finished);
    }
};
thread_local TForeignGuard ForeignGuard;

TThread* NewTestThreadRecord() {
    auto* thread = new TThread;
    thread->Number = static_cast<int>(M().Threads.size()) + 1;
    M().Threads.push_back(thread);
    return thread;
}

void AdoptRecord(TThread* thread) {
    CurrentThread = thread;
    ForeignGuard.Thread = thread;
}

TThread& SelfLocked() {
    if (CurrentThread == nullptr) AdoptRecord(NewTestThreadRecord());
    return *CurrentThread;
}

bool Runnable(const TThread& t) { return t.Life == TLife::Running && t.SuspendCount == 0; }

bool Ready(const TThread& t) {
    if (!Runnable(t)) return false;
    if (t.ReadyFn != nullptr && t.ReadyFn(t.ReadyContext)) return true;
    return t.HasDeadline && M().Now >= t.Deadline;
}

// A thread that cannot move until something else happens.
bool Stuck(const TThread& t) { return t.Life != TLife::Running || (t.Waiting && !Ready(t)); }

const char* LifeName(const TThread& t) {
    if (t.Life == TLife::Finished) return "finished";
    if (t.Life == TLife::Terminated) return "terminated";
    if (t.SuspendCount > 0) return "suspended";
    return t.Waiting ? "blocked" : "running";
}

void Dump(const char* why) {
    std::fprintf(stderr, "emulated windows: %s\n", why);
    for (const TThread* t : M().Threads) {
        if (t->Life != TLife::Running) continue;
        std::fprintf(stderr, "  thread %d (%s): %s%s%s\n", t->Number,
                     t->Created ? "CreateThread" : "test", LifeName(*t),
                     t->Waiting ? " in " : "", t->Waiting ? t->WaitName : "");
    }
    std::fflush(stderr);
}

// Called before a runnable thread parks: if every thread is now stuck,
// either the clock runs on (auto clock; returns true) or nothing can ever
// move again. Suspended and ended threads alone are no deadlock.
bool CheckProgress() {
    TMachine& m = M();
    bool anyDeadline = false;
    bool testThreadAlive = false;
    uint64_t earliest = 0;
    for (const TThread* t : m.Threads) {
        if (!Stuck(*t)) return false;
        if (!t->Created && t->Life == TLife::Running) testThreadAlive = true;
        if (t->Waiting && Runnable(*t) && t->HasDeadline) {
            if (!anyDeadline || t->Deadline < earliest) earliest = t->Deadline;
            anyDeadline = true;
        }
    }
    if (m.AutoClock && anyDeadline) {
        m.Now = std::max(m.Now, earliest);
        m.Changed.notify_all();
        return true;
    }
    // With every thread of the test gone, the process is ending.
    if (!testThreadAlive) return false;
    Dump(anyDeadline ? "deadlock: every thread is blocked and only the clock could move them"
                     : "deadlock: every thread is blocked");
    std::abort();
}

void FireTriggers(const char* waitName);

// A misuse of the platform that Windows would punish with a crash or a hang:
// fails the run at once, saying where.
[[noreturn]] void Violation(const char* what, const char* where) {
    char why[256];
    std::snprintf(why, sizeof why, "%s: %s", what, where);
    Dump(why);
    std::abort();
}

// A thread made by CreateThread runs the library's code: once that library's
// image is gone, it may neither enter it nor call out of it.
void CheckImage(const TThread& self, const char* what, const char* where) {
    if (self.Created && (!M().ImageMapped || self.Image != M().Image)) Violation(what, where);
}

// When a timed wait of `milliseconds` from now ends: as Windows ends it, at
// the first timer tick at or after the time asked for.
uint64_t DeadlineIn(uint32_t milliseconds) {
    const uint64_t deadline = M().Now + milliseconds;
    const uint64_t tick = M().TimerTick;
    return tick == 0 ? deadline : (deadline + tick - 1) / tick * tick;
}

// Counts down a fault-injection counter; true when this call is the one.
bool Countdown(int& counter) { return counter > 0 && --counter == 0; }

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
    }
    ~TCall() {
        Hold();
        Self.InPlatform = false;
        // Unwinding (ExitThread) runs none of the library's code.
        if (std::uncaught_exceptions() == 0)
            CheckImage(Self, "a thread returned into the unloaded library's code from", Name);
    }
    TCall(const TCall&) = delete;
    TCall& operator=(const TCall&) = delete;

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

THandle HandleOf(size_t index) { return reinterpret_cast<THandle>((index + 1) * 4); }

TObject* ObjectOf(THandle handle) {
    const auto value = reinterpret_cast<uintptr_t>(handle);
    if (value == 0 || value % 4 != 0) return nullptr;
    const size_t index = value / 4 - 1;
    if (index >= M().Objects.size()) return nullptr;
    TObject* object = M().Objects[index];
    return object->Open ? object : nullptr;
}

THandle AddObject(TObject* object) {
    TMachine& m = M();
    if (!m.FreeSlots.empty()) {
        const size_t index = m.FreeSlots.back();
        m.FreeSlots.pop_back();
        delete m.Objects[index];
        m.Objects[index] = object;
        return HandleOf(index);
    }
    m.Objects.push_back(object);
    return HandleOf(m.Objects.size() - 1);
}

TWindowRecord* WindowOf(TWindow window) {
    const auto value = reinterpret_cast<uintptr_t>(window);
    if (value < 0x10000 || value % 2 != 0) return nullptr;
    const size_t index = (value - 0x10000) / 2;
    if (index >= M().Windows.size()) return nullptr;
    TWindowRecord* record = M().Windows[index];
    return record->Alive ? record : nullptr;
}

// Marks a sent message handled; one nobody waits for is freed.
void Complete(TSentMessage* message) {
    if (message->NoSender) {
        delete message;
        return;
    }
    message->Done = true;
}

// Completes, unhandled, every message sent to `window` (all of `thread`'s
// when window is 0) that its owner has not taken yet.
void DropInbox(TThread& thread, TWindow window) {
    TSentMessage** link = &thread.Inbox;
    while (*link != nullptr) {
        TSentMessage* message = *link;
        if (window == nullptr || message->Window == window) {
            *link = message->Next;
            Complete(message);
        } else {
            link = &message->Next;
        }
    }
    M().Changed.notify_all();
}

void EndThread(TThread& thread, TLife how) {
    thread.Life = how;
    M().Quiet.notify_all();
    for (TWindowRecord* window : M().Windows)
        if (window->Owner == &thread) window->Alive = false;
    DropInbox(thread, nullptr);
}

void Enqueue(TThread& owner, TSentMessage* message) {
    TSentMessage** tail = &owner.Inbox;
    while (*tail != nullptr) tail = &(*tail)->Next;
    *tail = message;
    M().Changed.notify_all();
}

void FireTriggers(const char* waitName) {
    TMachine& m = M();
    for (size_t i = 0; i < m.Triggers.size();) {
        const TTrigger trigger = m.Triggers[i];
        if (trigger.WaitName != waitName || --m.Triggers[i].Remaining > 0) {
            ++i;
            continue;
        }
        m.Triggers.erase(m.Triggers.begin() + static_cast<std::ptrdiff_t>(i));
        if (trigger.Action == TTrigger::TAction::OpenGate) {
            m.GateVk = -1;
            m.Changed.notify_all();
        } else if (TWindowRecord* window = WindowOf(trigger.Window)) {
            auto* message = new TSentMessage{trigger.Window, trigger.Message, 0, 0};
            message->NoSender = true;
            Enqueue(*window->Owner, message);
        }
    }
}

bool Signalled(const TObject& object) {
    if (object.Kind == TObject::TKind::Thread) return object.Thread->Life != TLife::Running;
    return object.Signalled;
}

bool SetEventLocked(THandle handle) {
    TObject* object = ObjectOf(handle);
    if (object == nullptr || object->Kind != TObject::TKind::Event) return false;
    object->Signalled = true;
    M().Changed.notify_all();
    return true;
}

bool CloseHandleLocked(THandle handle) {
    TObject* object = ObjectOf(handle);
    if (object == nullptr) return false;
    object->Open = false;
    M().FreeSlots.push_back(reinterpret_cast<uintptr_t>(handle) / 4 - 1);
    return true;
}

// Runs the routines queued to `thread`, in order, on it; true when one of
// them was ExitThread (those after it never run).
bool RunQueuedRoutines(TThread& thread) {
    while (!thread.Apcs.empty()) {
        const TApc apc = thread.Apcs.front();
        thread.Apcs.erase(thread.Apcs.begin());
        const THandle handle = reinterpret_cast<THandle>(apc.Argument);
        if (apc.Routine == platform::SYSTEM_SET_EVENT) SetEventLocked(handle);
        if (apc.Routine == platform::SYSTEM_CLOSE_HANDLE) CloseHandleLocked(handle);
        if (apc.Routine == platform::SYSTEM_EXIT_THREAD) {
            if (!thread.Created) {
                Dump("ExitThread queued to a thread of the test");
                std::abort();
            }
            thread.Apcs.clear();
            return true;
        }
    }
    return false;
}

bool LoaderLockFreeFor(const TThread& thread) {
    return M().LoaderOwner == nullptr || M().LoaderOwner == &thread;
}

void ThreadBody(TThread* thread) {
    bool exited = false;
    {
        Lock lock(M().Mutex);
        CurrentThread = thread;
        // A new thread runs its routine only once it is resumed and the
        // loader lock is free; the routines queued to it run first.
        Block(lock, *thread, "(thread start)",
              [thread] { return LoaderLockFreeFor(*thread); });
        exited = RunQueuedRoutines(*thread);
        if (!exited) CheckImage(*thread, "a thread entered the unloaded library's code", "its start routine");
        thread->InPlatform = false;
    }
    if (!exited) {
        try {
            thread->Routine(nullptr);
        } catch (const TThreadExit&) {
            // ExitThread, run by an alertable wait: the exit follows.
        }
    }
    Lock lock(M().Mutex);
    thread->InPlatform = true;
    M().Changed.notify_all();
    // Ending a thread takes the loader lock too (thread-detach notifications).
    Block(lock, *thread, "(thread exit: loader lock)",
          [thread] { return LoaderLockFreeFor(*thread); });
    EndThread(*thread, TLife::Finished);
}

// Handles the messages sent to the calling thread's windows; true if any.
bool ServiceInbox(TCall& call) {
    bool any = false;
    while (call.Self.Inbox != nullptr) {
        TSentMessage* message = call.Self.Inbox;
        call.Self.Inbox = message->Next;
        any = true;
        TWindowRecord* window = WindowOf(message->Window);
        if (window != nullptr) {
            message->Result = call.RunUserCode([window, message] {
                return window->Procedure(message->Message, message->WParam, message->LParam);
            });
        }
        Complete(message);
        M().Changed.notify_all();
    }
    return any;
}

uint32_t WaitForObjects(TCall& call, uint32_t count, const THandle* handles,
                        uint32_t milliseconds, bool wakeOnSentMessage, const char* name) {
    for (uint32_t i = 0; i < count; ++i)
        if (ObjectOf(handles[i]) == nullptr) return platform::WAIT_ERROR;
    auto signalledIndex = [&]() -> int {
        for (uint32_t i = 0; i < count; ++i) {
            TObject* object = ObjectOf(handles[i]);
            if (object != nullptr && Signalled(*object)) return static_cast<int>(i);
        }
        return -1;
    };
    auto ready = [&] {
        return signalledIndex() >= 0 || (wakeOnSentMessage && call.Self.Inbox != nullptr);
    };
    const bool timed = milliseconds != platform::WAIT_FOREVER;
    if (!ready()) {
        if (milliseconds == 0) return platform::WAIT_TIMED_OUT;
        if (!Block(call.Guard, call.Self, name, ready, timed, DeadlineIn(milliseconds)))
            return platform::WAIT_TIMED_OUT;
    }
    const int index = signalledIndex();
    if (index < 0) return platform::WAIT_FIRST_OBJECT + count;
    TObject* object = ObjectOf(handles[index]);
    if (object != nullptr && object->Kind == TObject::TKind::Event && !object->ManualReset)
        object->Signalled = false;
    return platform::WAIT_FIRST_OBJECT + static_cast<uint32_t>(index);
}

TSectionRecord& SectionOf(platform::TPlatformCriticalSection& section) {
    auto* record = reinterpret_cast<TSectionRecord*>(section.Opaque);
    if (record->Magic != SECTION_MAGIC) {
        Dump("use of a critical section that is not initialised");
        std::abort();
    }
    return *record;
}

TThread* ThreadOf(THandle handle) {
    TObject* object = ObjectOf(handle);
    return object != nullptr && object->Kind == TObject::TKind::Thread ? object->Thread : nullptr;
}

// The unload's rule, as Windows enforces it with a hang: a thread that holds
// the loader lock and has suspended another thread (which may be inside the
// loader or the heap) must not use either until it resumes that thread.
void CheckNoLoaderOrHeapUse(const TCall& call) {
    const TMachine& m = M();
    if (m.LoaderOwner != &call.Self) return;
    for (const TThread* t : m.Threads)
        if (t->Life == TLife::Running && t->SuspendCount > 0 && t->SuspendedBy == &call.Self &&
            t->SuspendEpoch == m.LoaderEpoch)
            Violation("loader or heap used while a thread this one suspended is suspended", call.Name);
}

}  // namespace

// ---------------------------------------------------------------------------
// platform.h

namespace platform {

uint16_t GetAsyncKeyState(int vk) {
    TCall call(__func__);
    TMachine& m = M();
    if (vk < 0 || vk >= KEY_COUNT) return 0;
    if (vk == m.GateVk && call.Self.Created)
        Block(call.Guard, call.Self, "GetAsyncKeyState (gated)", [&m] { return m.GateVk < 0; });
    ++m.Queries[vk];
    ++m.TotalQueries;
    uint16_t state = m.Down[vk] ? 0x8000 : 0;
    if (vk <= 255 && m.PressedSince[vk]) state |= 1;
    m.PressedSince[vk] = 0;
    return state;
}

THandle CreateThread(TThreadRoutine routine, uint32_t flags) {
    TCall call(__func__);
    TMachine& m = M();
    CheckNoLoaderOrHeapUse(call);
    if (m.FailThreads > 0) {
        --m.FailThreads;
        return nullptr;
    }
    auto* thread = new TThread;
    thread->Image = m.Image;
    thread->Number = static_cast<int>(m.Threads.size()) + 1;
    thread->Created = true;
    thread->InPlatform = true;  // until it has started
    thread->SuspendCount = (flags & CREATE_SUSPENDED_THREAD) != 0 ? 1 : 0;
    thread->Routine = routine;
    try {
        std::thread(ThreadBody, thread).detach();
    } catch (const std::system_error&) {
        delete thread;
        return nullptr;
    }
    m.Threads.push_back(thread);
    auto* object = new TObject{TObject::TKind::Thread};
    object->Thread = thread;
    return AddObject(object);
}

TSuspension SuspendThread(THandle handle) {
    TCall call(__func__);
    TThread* thread = ThreadOf(handle);
    if (thread == nullptr || thread == &call.Self) return SUSPENSION_REFUSED;
    if (thread->Life != TLife::Running) return SUSPENSION_REFUSED;
    if (Countdown(M().FailSuspendIn)) return SUSPENSION_REFUSED;  // as when the call itself fails
    // Windows suspends asynchronously: a delayed suspension lets the thread
    // run on until it can go no further by itself.
    if (Countdown(M().DelaySuspendIn))
        Block(call.Guard, call.Self, "SuspendThread (delayed)", [thread] { return Stuck(*thread); });
    ++thread->SuspendCount;
    thread->SuspendedBy = &call.Self;
    thread->SuspendEpoch = M().LoaderOwner == &call.Self ? M().LoaderEpoch : 0;
    M().Changed.notify_all();
    // As when reading the stopped thread's context fails: suspended, but
    // not known to have stopped.
    if (M().FailContexts > 0) {
        --M().FailContexts;
        return SUSPENSION_UNCONFIRMED;
    }
    // Windows stops the thread wherever it is; here it stops at its next
    // platform call (a thread running only its own code does not stop), and
    // the caller returns only once it has.
    Block(call.Guard, call.Self, "SuspendThread",
          [thread] { return thread->InPlatform || thread->Life != TLife::Running; });
    return SUSPENSION_STOPPED;
}

bool TerminateThread(THandle handle) {
    TCall call(__func__);
    TThread* thread = ThreadOf(handle);
    if (thread == nullptr || thread == &call.Self || thread->Life != TLife::Running) return false;
    // Windows ends it wherever it is; here at its next platform call, as a
    // suspension stops it.
    Block(call.Guard, call.Self, "TerminateThread",
          [thread] { return thread->InPlatform || thread->Life != TLife::Running; });
    if (thread->Life == TLife::Running) EndThread(*thread, TLife::Terminated);
    M().Frozen.notify_all();
    return true;
}

bool ResumeThread(THandle handle) {
    TCall call(__func__);
    TThread* thread = ThreadOf(handle);
    if (thread == nullptr) return false;
    if (thread->SuspendCount > 0) --thread->SuspendCount;
    if (thread->SuspendCount == 0) thread->SuspendedBy = nullptr;
    M().Frozen.notify_all();
    M().Changed.notify_all();
    return true;
}

bool ResolveSystemRoutines() {
    TCall call(__func__);
    if (!M().RoutinesResolved) {
        CheckNoLoaderOrHeapUse(call);
        M().RoutinesResolved = true;
    }
    return true;
}

bool QueueUserAPC(TSystemRoutine routine, THandle handle, uintptr_t argument) {
    TCall call(__func__);
    // Windows' provider would have to look the routine up here, in the loader.
    if (!M().RoutinesResolved) Violation("system routine not looked up beforehand", call.Name);
    if (Countdown(M().FailApcIn)) return false;
    TThread* thread = ThreadOf(handle);
    if (thread == nullptr || thread->Life != TLife::Running) return false;
    thread->Apcs.push_back({routine, argument});
    M().Changed.notify_all();
    return true;
}

bool CloseHandle(THandle handle) {
    TCall call(__func__);
    return CloseHandleLocked(handle);
}

void Sleep(uint32_t milliseconds) {
    TCall call(__func__);
    if (milliseconds == 0) return;
    Block(call.Guard, call.Self, "Sleep", [] { return false; }, true, DeadlineIn(milliseconds));
}

uint32_t SleepEx(uint32_t milliseconds, bool alertable) {
    TCall call(__func__);
    TThread& self = call.Self;
    auto queued = [&self, alertable] { return alertable && !self.Apcs.empty(); };
    if (!queued() && milliseconds != 0)
        Block(call.Guard, self, "SleepEx", queued, milliseconds != WAIT_FOREVER, DeadlineIn(milliseconds));
    if (!queued()) return 0;
    if (RunQueuedRoutines(self)) throw TThreadExit{};
    return WAIT_APC;
}

// Windows allocates a critical section's debug record from the heap, and
// frees it on deletion.
void InitializeCriticalSection(TPlatformCriticalSection& section) {
    TCall call(__func__);
    CheckNoLoaderOrHeapUse(call);
    new (section.Opaque) TSectionRecord{SECTION_MAGIC, 0, nullptr};
}

void DeleteCriticalSection(TPlatformCriticalSection& section) {
    TCall call(__func__);
    CheckNoLoaderOrHeapUse(call);
    TSectionRecord& record = SectionOf(section);
    if (record.Owner != nullptr) {
        Dump("DeleteCriticalSection on a critical section that is owned");
        std::abort();
    }
    record.Magic = 0;
}

void EnterCriticalSection(TPlatformCriticalSection& section) {
    TCall call(__func__);
    TSectionRecord& record = SectionOf(section);
    TThread* self = &call.Self;
    Block(call.Guard, call.Self, "EnterCriticalSection",
          [&record, self] { return record.Owner == nullptr || record.Owner == self; });
    record.Owner = self;
    ++record.Count;
}

bool TryEnterCriticalSection(TPlatformCriticalSection& section) {
    TCall call(__func__);
    TSectionRecord& record = SectionOf(section);
    if (record.Owner != nullptr && record.Owner != &call.Self) return false;
    record.Owner = &call.Self;
    ++record.Count;
    return true;
}

void LeaveCriticalSection(TPlatformCriticalSection& section) {
    TCall call(__func__);
    TSectionRecord& record = SectionOf(section);
    if (record.Owner != &call.Self) {
        Dump("LeaveCriticalSection by a thread that does not own it");
        std::abort();
    }
    if (--record.Count == 0) {
        record.Owner = nullptr;
        M().Changed.notify_all();
    }
}

THandle CreateEventA(bool manualReset, bool initialState) {
    TCall call(__func__);
    if (M().FailEvents > 0) {
        --M().FailEvents;
        return nullptr;
    }
    auto* object = new TObject{TObject::TKind::Event};
    object->ManualReset = manualReset;
    object->Signalled = initialState;
    return AddObject(object);
}

bool SetEvent(THandle handle) {
    TCall call(__func__);
    return SetEventLocked(handle);
}

uint32_t WaitForSingleObject(THandle handle, uint32_t milliseconds) {
    TCall call(__func__);
    return WaitForObjects(call, 1, &handle, milliseconds, false, "WaitForSingleObject");
}

uint32_t MsgWaitForMultipleObjects(uint32_t count, const THandle* handles,
                                   uint32_t milliseconds) {
    TCall call(__func__);
    return WaitForObjects(call, count, handles, milliseconds, true, "MsgWaitForMultipleObjects");
}

uint32_t GetCurrentThreadId() {
    TCall call(__func__);
    return static_cast<uint32_t>(call.Self.Number);
}

uint32_t GetWindowThreadProcessId(TWindow window) {
    TCall call(__func__);
    const TWindowRecord* record = WindowOf(window);
    return record != nullptr ? static_cast<uint32_t>(record->Owner->Number) : 0;
}

// The virtual clock, in microseconds.
uint64_t QueryPerformanceCounter() {
    TCall call(__func__);
    return M().Now * 1000;
}

uint64_t QueryPerformanceFrequency() { return 1000000; }

uint32_t GetQueueStatus(uint32_t flags) {
    TCall call(__func__);
    return call.Self.Inbox != nullptr && (flags & QS_SENDMESSAGE_FLAG) != 0 ? QS_SENDMESSAGE_FLAG << 16 : 0;
}

bool PeekMessageA() {
    TCall call(__func__);
    return ServiceInbox(call);
}

intptr_t SendMessageA(TWindow window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    TCall call(__func__);
    TWindowRecord* record = WindowOf(window);
    if (record == nullptr) return 0;
    if (record->Owner == &call.Self)
        return call.RunUserCode(
            [record, message, wParam, lParam] { return record->Procedure(message, wParam, lParam); });
    TSentMessage sent{window, message, wParam, lParam};
    Enqueue(*record->Owner, &sent);
    for (;;) {
        // A thread blocked in SendMessage still handles messages sent to it.
        Block(call.Guard, call.Self, "SendMessageA",
              [&sent, &call] { return sent.Done || call.Self.Inbox != nullptr; });
        if (sent.Done) return sent.Result;
        ServiceInbox(call);
    }
}

int MessageBoxA(TWindow owner, const char* text, const char* caption, uint32_t style) {
    TCall call(__func__);
    CheckNoLoaderOrHeapUse(call);
    emulated::TMessageBoxRecord& box = M().Box;
    box.Owner = owner;
    box.Text = text != nullptr ? text : "";
    box.Caption = caption != nullptr ? caption : "";
    box.Style = style;
    ++box.Count;
    return 1;  // IDOK
}

}  // namespace platform

// ---------------------------------------------------------------------------
// emulated_windows.h

namespace emulated {

namespace {
bool ValidKey(int vk) { return vk >= 0 && vk < KEY_COUNT; }
}  // namespace

void PressKey(int vk) {
    Lock lock(M().Mutex);
    if (!ValidKey(vk)) return;
    if (!M().Down[vk]) M().PressedSince[vk] = 1;
    M().Down[vk] = 1;
}

void ReleaseKey(int vk) {
    Lock lock(M().Mutex);
    if (ValidKey(vk)) M().Down[vk] = 0;
}

void TapKey(int vk) {
    Lock lock(M().Mutex);
    if (!ValidKey(vk)) return;
    M().PressedSince[vk] = 1;
    M().Down[vk] = 0;
}

void ResetKeyboard() {
    Lock lock(M().Mutex);
    TMachine& m = M();
    std::fill(std::begin(m.Down), std::end(m.Down), 0);
    std::fill(std::begin(m.PressedSince), std::end(m.PressedSince), 0);
    std::fill(std::begin(m.Queries), std::end(m.Queries), 0);
    m.TotalQueries = 0;
}

void GateKeyQuery(int vk) {
    Lock lock(M().Mutex);
    M().GateVk = vk;
}

void OpenGate() {
    Lock lock(M().Mutex);
    M().GateVk = -1;
    M().Changed.notify_all();
}

void OpenGateWhenBlockedIn(const std::string& waitName, int nth) {
    Lock lock(M().Mutex);
    M().Triggers.push_back({waitName, TTrigger::TAction::OpenGate, nullptr, 0, nth});
}

void SendWhenBlockedIn(const std::string& waitName, TWindow window, uint32_t message) {
    Lock lock(M().Mutex);
    M().Triggers.push_back({waitName, TTrigger::TAction::Send, window, message});
}

uint32_t KeyQueries(int vk) {
    Lock lock(M().Mutex);
    return ValidKey(vk) ? M().Queries[vk] : 0;
}

uint64_t TotalKeyQueries() {
    Lock lock(M().Mutex);
    return M().TotalQueries;
}

TWindow CreateWindowForThisThread(TWindowProc procedure) {
    Lock lock(M().Mutex);
    auto* record = new TWindowRecord{&SelfLocked(), std::move(procedure)};
    M().Windows.push_back(record);
    return reinterpret_cast<TWindow>(0x10000 + (M().Windows.size() - 1) * 2);
}

void DestroyWindow(TWindow window) {
    Lock lock(M().Mutex);
    TWindowRecord* record = WindowOf(window);
    if (record == nullptr) return;
    record->Alive = false;
    DropInbox(*record->Owner, window);
}

int PendingSentMessages() {
    Lock lock(M().Mutex);
    int count = 0;
    for (const TSentMessage* m = SelfLocked().Inbox; m != nullptr; m = m->Next) ++count;
    return count;
}

uint64_t Now() {
    Lock lock(M().Mutex);
    return M().Now;
}

bool AdvanceToNextDeadline() {
    Lock lock(M().Mutex);
    bool any = false;
    uint64_t earliest = 0;
    for (const TThread* t : M().Threads) {
        if (t->Waiting && Runnable(*t) && t->HasDeadline && (!any || t->Deadline < earliest)) {
            earliest = t->Deadline;
            any = true;
        }
    }
    if (!any) return false;
    M().Now = std::max(M().Now, earliest);
    M().Changed.notify_all();
    return true;
}

void SetAutoClock(bool on) {
    Lock lock(M().Mutex);
    M().AutoClock = on;
    M().Changed.notify_all();
}

void WaitQuiescent() {
    Lock lock(M().Mutex);
    TThread& self = SelfLocked();
    auto quiescent = [] {
        for (const TThread* t : M().Threads)
            if (t->Created && !Stuck(*t)) return false;
        return true;
    };
    self.Waiting = true;
    self.WaitName = "WaitQuiescent";
    self.ReadyFn = &CallPredicate<decltype(quiescent)>;
    self.ReadyContext = &quiescent;
    const auto giveUp = std::chrono::steady_clock::now() + QUIESCENCE_GUARD;
    while (!quiescent()) {
        if (std::chrono::steady_clock::now() >= giveUp) {
            Dump("threads still running after the quiescence guard");
            std::abort();
        }
        M().Quiet.wait_for(lock, std::chrono::milliseconds(50));
    }
    self.Waiting = false;
    self.WaitName = "";
    self.ReadyFn = nullptr;
}

TThreadState ThreadState(THandle handle) {
    Lock lock(M().Mutex);
    TObject* object = ObjectOf(handle);
    if (object == nullptr || object->Kind != TObject::TKind::Thread) return TThreadState::Unknown;
    const TThread& t = *object->Thread;
    if (t.Life == TLife::Finished) return TThreadState::Finished;
    if (t.Life == TLife::Terminated) return TThreadState::Terminated;
    if (t.SuspendCount > 0) return TThreadState::Suspended;
    return t.Waiting && !Ready(t) ? TThreadState::Blocked : TThreadState::Running;
}

std::string ThreadWaitName(THandle handle) {
    Lock lock(M().Mutex);
    TThread* thread = ThreadOf(handle);
    return thread != nullptr && thread->Waiting ? thread->WaitName : "";
}

int LiveThreadCount() {
    Lock lock(M().Mutex);
    return static_cast<int>(std::count_if(M().Threads.begin(), M().Threads.end(), [](const TThread* t) {
        return t->Created && t->Life == TLife::Running;
    }));
}

int OpenHandleCount() {
    Lock lock(M().Mutex);
    return static_cast<int>(std::count_if(M().Objects.begin(), M().Objects.end(),
                                          [](const TObject* o) { return o->Open; }));
}

namespace {
// Sets one of the machine's fault-injection counters.
void SetCounter(int TMachine::*counter, int value) {
    Lock lock(M().Mutex);
    M().*counter = value;
}
}  // namespace

void FailThreadCreations(int count) { SetCounter(&TMachine::FailThreads, count); }
void FailEventCreations(int count) { SetCounter(&TMachine::FailEvents, count); }
void FailThreadContexts(int count) { SetCounter(&TMachine::FailContexts, count); }
void FailQueueUserApc(int nth) { SetCounter(&TMachine::FailApcIn, nth); }
void FailSuspendThread(int nth) { SetCounter(&TMachine::FailSuspendIn, nth); }
void DelaySuspendThread(int nth) { SetCounter(&TMachine::DelaySuspendIn, nth); }

void SetTimerTick(uint64_t milliseconds) {
    Lock lock(M().Mutex);
    M().TimerTick = milliseconds;
}

void MapLibraryImage() {
    Lock lock(M().Mutex);
    ++M().Image;
    M().ImageMapped = true;
    M().RoutinesResolved = false;
}

void RunUnderLoaderLock(const std::function<void()>& body) {
    {
        Lock lock(M().Mutex);
        TThread& self = SelfLocked();
        Block(lock, self, "(loader lock)", [&self] { return LoaderLockFreeFor(self); });
        if (M().LoaderDepth == 0) ++M().LoaderEpoch;
        M().LoaderOwner = &self;
        ++M().LoaderDepth;
    }
    struct TRelease {
        ~TRelease() {
            Lock lock(M().Mutex);
            if (--M().LoaderDepth == 0) M().LoaderOwner = nullptr;
            M().Changed.notify_all();
        }
    } release;
    body();
}

bool LoadLibrary(TEntryRoutine entry) {
    MapLibraryImage();
    bool result = false;
    RunUnderLoaderLock([&] { result = entry(1, false); });
    return result;
}

void FreeLibrary(TEntryRoutine entry) {
    RunUnderLoaderLock([&] {
        entry(0, false);
        Lock lock(M().Mutex);
        M().ImageMapped = false;
    });
}

void ExitProcess(TEntryRoutine entry) {
    {
        Lock lock(M().Mutex);
        TThread& self = SelfLocked();
        for (TThread* t : M().Threads) {
            if (!t->Created || t->Life != TLife::Running) continue;
            Block(lock, self, "ExitProcess", [t] { return t->InPlatform || t->Life != TLife::Running; });
            if (t->Life == TLife::Running) EndThread(*t, TLife::Terminated);
        }
    }
    RunUnderLoaderLock([&] { entry(0, true); });
}

TMessageBoxRecord LastMessageBox() {
    Lock lock(M().Mutex);
    return M().Box;
}

}  // namespace emulated
