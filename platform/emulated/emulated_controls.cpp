// The controls of emulated_windows.h, in its order: the keyboard, windows
// and their messages, the virtual clock, quiescence, inspecting threads and
// handles, the loader lock, the library's image and its entry
// notifications, message boxes. (Faults are armed in emulated_faults.cpp.)
#include <algorithm>
#include <chrono>

#include "emulated_machine.h"

namespace emulated {

using namespace internal;

namespace {
bool ValidKey(int vk) { return vk >= 0 && vk < KEY_COUNT; }
}  // namespace

void PressKey(int vk) {
    Lock lock(M().Mutex);
    if (!ValidKey(vk)) return;
    if (!M().Down[vk] && !M().KeyStateInaccessible) M().PressedSince[vk] = 1;
    M().Down[vk] = 1;
}

void ReleaseKey(int vk) {
    Lock lock(M().Mutex);
    if (ValidKey(vk)) M().Down[vk] = 0;
}

void TapKey(int vk) {
    Lock lock(M().Mutex);
    if (!ValidKey(vk)) return;
    if (!M().KeyStateInaccessible) M().PressedSince[vk] = 1;
    M().Down[vk] = 0;
}

void AutoRepeatKey(int vk) {
    Lock lock(M().Mutex);
    if (ValidKey(vk) && M().Down[vk] && !M().KeyStateInaccessible) M().PressedSince[vk] = 1;
}

void AnotherProgramQueriesKey(int vk) {
    Lock lock(M().Mutex);
    if (ValidKey(vk)) M().PressedSince[vk] = 0;
}

void SetKeyStateInaccessible(bool inaccessible) {
    Lock lock(M().Mutex);
    M().KeyStateInaccessible = inaccessible;
}

void ResetKeyboard() {
    Lock lock(M().Mutex);
    TMachine& m = M();
    std::fill(std::begin(m.Down), std::end(m.Down), 0);
    std::fill(std::begin(m.PressedSince), std::end(m.PressedSince), 0);
    std::fill(std::begin(m.Queries), std::end(m.Queries), 0);
    m.TotalQueries = 0;
    m.KeyStateInaccessible = false;
}

void GateKeyQuery(int vk) {
    Lock lock(M().Mutex);
    M().GateVk = vk;
}

void GateNextCall(const std::string& name) {
    Lock lock(M().Mutex);
    M().GateCall = name;
    M().GateWaitName = name + " (gated)";
}

void GateNextReturn(const std::string& name) {
    Lock lock(M().Mutex);
    M().GateReturn = name;
    M().GateReturnWaitName = name + " (gated return)";
}

void OpenGate() {
    Lock lock(M().Mutex);
    M().GateVk = -1;
    M().GateCall.clear();
    M().GateReturn.clear();
    M().Changed.notify_all();
}

void OpenGateWhenBlockedIn(const std::string& waitName, int nth) {
    Lock lock(M().Mutex);
    M().Triggers.push_back({waitName, TTrigger::TAction::OpenGate, nullptr, 0, nth});
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

void SendWhenBlockedIn(const std::string& waitName, TWindow window, uint32_t message) {
    Lock lock(M().Mutex);
    M().Triggers.push_back({waitName, TTrigger::TAction::Send, window, message});
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

void AdvanceClock(uint64_t milliseconds) {
    Lock lock(M().Mutex);
    M().Now += milliseconds;
    M().Changed.notify_all();
}

uint64_t TimedWaits() {
    Lock lock(M().Mutex);
    return M().TimedWaits;
}

void SetAutoClock(bool on) {
    Lock lock(M().Mutex);
    M().AutoClock = on;
    M().Changed.notify_all();
}

void SetTimerTick(uint64_t milliseconds) {
    Lock lock(M().Mutex);
    M().TimerTick = milliseconds;
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
        if (std::chrono::steady_clock::now() >= giveUp) FailRun("threads still running after the quiescence guard");
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

void MapLibraryImage() {
    Lock lock(M().Mutex);
    ++M().Image;
    M().ImageMapped = true;
    M().RoutinesResolved = false;
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

void KeepNextMessageBoxOpen() {
    Lock lock(M().Mutex);
    M().KeepNextBoxOpen = true;
}

void CloseMessageBox() {
    Lock lock(M().Mutex);
    M().BoxOpen = false;
    M().Changed.notify_all();
}

}  // namespace emulated
