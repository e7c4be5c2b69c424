// The emulated Windows' machine: its threads and their start and end, the
// virtual clock and the deadlock check, handles and kernel objects, sent
// messages and windows. The calls of platform.h (emulated_platform.cpp)
// and the controls of emulated_windows.h (emulated_controls.cpp) are built
// on these.
#include <cstring>
#include <utility>

#include "emulated_machine.h"

#include <algorithm>
#include <thread>

namespace emulated::internal {

// Never destroyed: threads the emulation abandons stay parked on it until the
// process ends.
TMachine& M() {
    static TMachine* machine = new TMachine;
    return *machine;
}

thread_local TThread* CurrentThread = nullptr;

// Marks a thread of the test as ended when it exits, which also ends its
// windows.
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

bool Stuck(const TThread& t) { return t.Life != TLife::Running || (t.Waiting && !Ready(t)); }

// Called before a runnable thread parks. Suspended and ended threads alone
// are no deadlock.
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
    FailRun(anyDeadline ? "deadlock: every thread is blocked and only the clock could move them"
                        : "deadlock: every thread is blocked");
}

// As Windows ends a timed wait: at the first timer tick at or after the
// time asked for.
uint64_t DeadlineIn(uint32_t milliseconds) {
    const uint64_t deadline = M().Now + milliseconds;
    const uint64_t tick = M().TimerTick;
    return tick == 0 ? deadline : (deadline + tick - 1) / tick * tick;
}

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
            m.GateCall.clear();
            m.GateReturn.clear();
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

bool RunQueuedRoutines(TThread& thread) {
    while (!thread.Apcs.empty()) {
        const TApc apc = thread.Apcs.front();
        thread.Apcs.erase(thread.Apcs.begin());
        const THandle handle = reinterpret_cast<THandle>(apc.Argument);
        if (apc.Routine == platform::SYSTEM_SET_EVENT) SetEventLocked(handle);
        if (apc.Routine == platform::SYSTEM_CLOSE_HANDLE) CloseHandleLocked(handle);
        if (apc.Routine == platform::SYSTEM_EXIT_THREAD) {
            if (!thread.Created) FailRun("ExitThread queued to a thread of the test");
            thread.Apcs.clear();
            return true;
        }
    }
    return false;
}

void TCall::HoldAtGate() {
    Block(Guard, Self, M().GateWaitName.c_str(), [] { return M().GateCall.empty(); });
}

void TCall::HoldAtReturnGate() {
    Block(Guard, Self, M().GateReturnWaitName.c_str(), [] { return M().GateReturn.empty(); });
}

bool BlockedInAWaitOrNotStarted(const TThread& thread) {
    static const char* const WAITS[] = {"(thread start)", "SendMessageA", "SleepEx", "WaitForSingleObject",
                                        "WaitForObjectsOrSentMessage", "MessageBoxA",
                                        "(thread exit: loader lock)"};
    if (!thread.Waiting) return false;
    for (const char* wait : WAITS)
        if (std::strcmp(thread.WaitName, wait) == 0) return true;
    return false;
}

const char* ThreadWaitNameOf(const TThread& thread) { return thread.Waiting ? thread.WaitName : "(running)"; }

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
    bool returned = false;
    if (!exited) {
        try {
            thread->Routine(nullptr);
            returned = true;
        } catch (const TThreadExit&) {
            // ExitThread, run by an alertable wait: the exit follows.
        }
    }
    Lock lock(M().Mutex);
    // What the routine returns to is the library's code too.
    if (returned) CheckImage(*thread, "a thread routine returned into the unloaded library's code", "its return");
    thread->InPlatform = true;
    M().Changed.notify_all();
    // Ending a thread takes the loader lock too (thread-detach notifications).
    Block(lock, *thread, "(thread exit: loader lock)",
          [thread] { return LoaderLockFreeFor(*thread); });
    EndThread(*thread, TLife::Finished);
}

bool ServiceInbox(TCall& call) {
    bool any = false;
    while (call.Self.Inbox != nullptr) {
        TSentMessage* message = call.Self.Inbox;
        call.Self.Inbox = message->Next;
        any = true;
        TWindowRecord* window = WindowOf(message->Window);
        if (window != nullptr) {
            const uint32_t outer = std::exchange(call.Self.Receiving, message->NoSender ? 2u : 1u);
            message->Result = call.RunUserCode([window, message] {
                return window->Procedure(message->Message, message->WParam, message->LParam);
            });
            call.Self.Receiving = outer;
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
        if (timed) ++M().TimedWaits;
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
    if (record->Magic != SECTION_MAGIC) FailRun("use of a critical section that is not initialised");
    return *record;
}

TThread* ThreadOf(THandle handle) {
    TObject* object = ObjectOf(handle);
    return object != nullptr && object->Kind == TObject::TKind::Thread ? object->Thread : nullptr;
}

}  // namespace emulated::internal
