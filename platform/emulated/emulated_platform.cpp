// platform.h on the emulated Windows, in windows_platform.cpp's order so
// that the two providers read side by side. Each call opens a TCall (the
// machine held, the caller's image checked), waits only through Block, and
// fails where Windows fails when a test armed that fault.
#include <new>
#include <system_error>
#include <thread>

#include <utility>

#include "emulated_machine.h"

using namespace emulated::internal;

namespace platform {

uint16_t GetAsyncKeyState(int vk) {
    TCall call(__func__);
    TMachine& m = M();
    if (vk < 0 || vk >= KEY_COUNT) return 0;
    if (vk == m.GateVk && call.Self.Created)
        Block(call.Guard, call.Self, "GetAsyncKeyState (gated)", [&m] { return m.GateVk < 0; });
    ++m.Queries[vk];
    ++m.TotalQueries;
    // Windows answers 0 for a code of 256 or more, whatever was pressed, and
    // for every key while the key state is not the caller's to read.
    if (vk > 255 || m.KeyStateInaccessible) return 0;
    uint16_t state = m.Down[vk] ? 0x8000 : 0;
    if (m.PressedSince[vk]) state |= 1;
    m.PressedSince[vk] = 0;
    return state;
}

THandle CreateThread(TThreadRoutine routine, uint32_t flags) {
    TCall call(__func__);
    TMachine& m = M();
    CheckNoLoaderOrHeapUse(call);
    if (Faulted(emulated::FAULT_CREATE_THREAD)) return nullptr;
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
    if (Faulted(emulated::FAULT_SUSPEND_THREAD)) return SUSPENSION_REFUSED;  // as when the call itself fails
    // Windows suspends asynchronously: a delayed suspension lets the thread
    // run on until it can go no further by itself.
    if (Faulted(emulated::FAULT_SUSPENSION_DELAY))
        Block(call.Guard, call.Self, "SuspendThread (delayed)", [thread] { return Stuck(*thread); });
    ++thread->SuspendCount;
    thread->SuspendedBy = &call.Self;
    thread->SuspendEpoch = M().LoaderOwner == &call.Self ? M().LoaderEpoch : 0;
    M().Changed.notify_all();
    // As when reading the stopped thread's context fails: suspended, but
    // not known to have stopped.
    if (Faulted(emulated::FAULT_THREAD_CONTEXT)) return SUSPENSION_UNCONFIRMED;
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
    // Windows ends it wherever it is, and whatever it holds stays held: the
    // heap's or the loader's lock, Wine's user lock. Only a thread blocked
    // in a wait, or not started, holds none that our code may need.
    if (!BlockedInAWaitOrNotStarted(*thread))
        Violation("TerminateThread of a thread that is not blocked in a wait: what it holds would stay held",
                  ThreadWaitNameOf(*thread));
    // Here it ends at its next platform call, as a suspension stops it.
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
    if (Faulted(emulated::FAULT_QUEUE_USER_APC)) return false;
    TThread* thread = ThreadOf(handle);
    if (thread == nullptr || thread->Life != TLife::Running) return false;
    thread->Apcs.push_back({routine, argument});
    M().Changed.notify_all();
    return true;
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
    if (record.Owner != nullptr) Violation("a critical section deleted while owned", call.Name);
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
    if (record.Owner != &call.Self) Violation("a critical section left by a thread that does not own it", call.Name);
    if (--record.Count == 0) {
        record.Owner = nullptr;
        M().Changed.notify_all();
    }
}

THandle CreateEventA(bool manualReset, bool initialState) {
    TCall call(__func__);
    if (Faulted(emulated::FAULT_CREATE_EVENT)) return nullptr;
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

uint32_t WaitForObjectsOrSentMessage(uint32_t count, const THandle* handles,
                                   uint32_t milliseconds) {
    TCall call(__func__);
    return WaitForObjects(call, count, handles, milliseconds, true, "WaitForObjectsOrSentMessage");
}

uint32_t GetQueueStatus(uint32_t flags) {
    TCall call(__func__);
    return call.Self.Inbox != nullptr && (flags & QS_SENDMESSAGE_FLAG) != 0 ? QS_SENDMESSAGE_FLAG << 16 : 0;
}

bool HandleSentMessages() {
    TCall call(__func__);
    ServiceInbox(call);
    return false;
}

uint32_t InSendMessageEx() {
    TCall call(__func__);
    return call.Self.Receiving;
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
    if (!std::exchange(M().KeepNextBoxOpen, false)) return 1;  // IDOK, at once
    // Its modal loop: messages sent to this thread are handled until the box
    // is closed.
    M().BoxOpen = true;
    for (;;) {
        Block(call.Guard, call.Self, "MessageBoxA", [&call] { return !M().BoxOpen || call.Self.Inbox != nullptr; });
        if (!M().BoxOpen) return 1;
        ServiceInbox(call);
    }
}

}  // namespace platform
