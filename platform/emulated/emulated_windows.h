// Control of the emulated Windows behind platform.h, for tests and for the
// native benchmarks. Only built where the real API is not available.
//
// The emulation runs on a virtual clock: a timed wait ends only when a test
// moves the clock past its deadline (or when the clock is set to run on its
// own), so a test steps the hot-key worker cycle by cycle and never sleeps.
// Every blocking point of an emulated thread is inside a platform call, which
// lets the emulator tell when all threads are stuck: it then prints where each
// one waits and aborts, so a deadlock fails a test at once instead of hanging.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform.h"

namespace emulated {

// --- Keyboard: 65536 virtual keys, each with a down state and a
// pressed-since bit. As on Windows, codes above 255 are never reported down
// (their queries are still counted).
void PressKey(int vk);    // down, and sets the pressed-since bit
void ReleaseKey(int vk);  // up
void TapKey(int vk);      // pressed and released before anyone looked
// What users meet on Windows and Wine: a held key's auto-repeat sets the
// pressed-since bit again (Wine does; Windows' tests do not say); another
// program's query of the key takes that bit (it belongs to the session);
// while the input desktop is another (lock screen, UAC prompt) or an
// elevated window is in front, every key reads 0 and nothing pressed
// meanwhile is seen, then or later.
void AutoRepeatKey(int vk);
void AnotherProgramQueriesKey(int vk);
void SetKeyStateInaccessible(bool inaccessible);
// Every key up, no pressed-since bit, query counts back to 0.
void ResetKeyboard();
// The next query of `vk` by a thread made by CreateThread blocks there
// ("GetAsyncKeyState (gated)") until OpenGate: holds a worker mid-cycle.
void GateKeyQuery(int vk);
// The next call of the platform call `name` by a thread made by
// CreateThread blocks at its start ("NAME (gated)") until OpenGate.
void GateNextCall(const std::string& name);
// The same at the end of the call, once it has decided what it returns
// ("NAME (gated return)").
void GateNextReturn(const std::string& name);
void OpenGate();
// Opens the gate as soon as any thread blocks in the platform call
// `waitName` for the `nth` time from now: holds the worker exactly until
// someone waits for it (or has waited that often).
void OpenGateWhenBlockedIn(const std::string& waitName, int nth = 1);
uint32_t KeyQueries(int vk);  // GetAsyncKeyState calls for this key so far
uint64_t TotalKeyQueries();

// --- Windows owned by threads. The procedure runs on the owning thread:
// directly for a send from that thread, otherwise when the owner services
// its sent messages (HandleSentMessages, WaitForObjectsOrSentMessage
// followed by HandleSentMessages, or while it is itself blocked in
// SendMessageA).
using TWindowProc =
    std::function<intptr_t(uint32_t message, uintptr_t wParam, intptr_t lParam)>;
platform::TWindow CreateWindowForThisThread(TWindowProc procedure);
void DestroyWindow(platform::TWindow window);
int PendingSentMessages();  // messages sent to the calling thread, not yet handled
// When any thread next blocks in the platform call `waitName`, `message` is
// sent to `window` from elsewhere without the sender waiting (as
// SendNotifyMessage from another thread does): its owner handles it when it
// services its sent messages.
void SendWhenBlockedIn(const std::string& waitName, platform::TWindow window, uint32_t message);

// --- Virtual clock.
uint64_t Now();
// Moves the clock to the earliest deadline of a runnable timed wait; false
// when no thread waits with a timeout.
bool AdvanceToNextDeadline();
// Moves the clock on by `milliseconds`, waking the timed waits it passes.
void AdvanceClock(uint64_t milliseconds);
// Timed waits (with a timeout, neither 0 nor infinite) that blocked so far.
uint64_t TimedWaits();
// When on, the clock jumps to the next deadline whenever every thread is
// blocked, so threads run freely (for soak tests).
void SetAutoClock(bool on);
// Timed waits end at the first multiple of `milliseconds` at or after their
// time, as Windows' timer tick (about 15.6 ms) makes them; 0: exactly.
void SetTimerTick(uint64_t milliseconds);

// Blocks until every thread made by CreateThread is blocked with nothing to
// wake it, suspended, terminated or finished. Aborts after a long real-time
// guard, printing where each thread waits.
void WaitQuiescent();

// --- Threads and handles. SuspendThread and TerminateThread stop a thread
// only at its next platform call (Windows stops it wherever it is; the
// end-to-end suite under Wine covers that). So it cannot show a thread
// stopped inside our own code between two platform calls, nor one stopped
// inside a system routine holding a lock of the system's (the heap's, the
// loader's); a thread busy in its own code makes the suspender wait rather
// than be stopped. Tests hold a thread at a platform call instead
// (GateKeyQuery, GateNextCall, GateNextReturn). TerminateThread is
// synchronous here; on Windows it returns before the thread is gone. Routines queued with
// QueueUserAPC run before a thread's start routine, or in an alertable
// SleepEx; ExitThread among them ends the thread there, by unwinding its
// routine (no code of the routine runs; its destructors do). A thread's end
// waits for the loader lock. A closed handle's value is given to the next
// object made (the last closed first), as on Windows: a handle used after
// it was closed then reaches another object, so such a fault shows.
// Blocked: waiting with nothing to wake it yet; a thread whose wait is
// satisfied but has not woken counts as Running.
enum class TThreadState { Running, Blocked, Suspended, Finished, Terminated, Unknown };
TThreadState ThreadState(platform::THandle thread);
// Name of the platform call the thread is blocked in ("" when not blocked).
std::string ThreadWaitName(platform::THandle thread);
int LiveThreadCount();  // threads made by CreateThread and not ended
int OpenHandleCount();

// --- Faults: calls the system may refuse, or, for a suspension, make lag.
enum TFault {
    FAULT_CREATE_THREAD,     // CreateThread fails
    FAULT_CREATE_EVENT,      // CreateEventA fails
    FAULT_SUSPEND_THREAD,    // SuspendThread is refused: nothing suspended
    FAULT_THREAD_CONTEXT,    // SuspendThread suspends, but its stop cannot be
                             // confirmed (as when GetThreadContext fails)
    FAULT_QUEUE_USER_APC,    // QueueUserAPC fails: nothing queued
    FAULT_SUSPENSION_DELAY,  // SuspendThread takes effect only once its thread
                             // can go no further by itself, as Windows'
                             // asynchronous suspension may lag
    FAULT_COUNT
};
// Counting the calls of that kind from now, the `occurrence`-th one and the
// `count - 1` after it fail (replacing what was armed before for the kind).
void InjectFault(TFault fault, int occurrence = 1, int count = 1);

// --- Loader lock, as the platform holds it around a library's entry
// notifications: a thread made by CreateThread neither starts nor ends while
// another thread holds it.
void RunUnderLoaderLock(const std::function<void()>& body);

// --- The library's image. Threads made by CreateThread run its code: from
// the end of its process-detach notification (FreeLibrary) on, any of them
// that enters that code, calls the platform from it or returns into it fails
// the run at once, naming the call; so does one made under an earlier image.
// A new image (LoadLibrary, or MapLibraryImage for tests that start the
// module directly) has not looked up its system routines yet
// (ResolveSystemRoutines): QueueUserAPC before that fails the run too.
// Holding the loader lock with a thread it suspended still suspended, a
// thread may not call into the loader or the heap (ResolveSystemRoutines'
// look-up, CreateThread, Initialize/DeleteCriticalSection, MessageBoxA):
// Windows would deadlock if the suspended thread held their locks, so the
// run fails, naming the call.
void MapLibraryImage();

// --- A library's entry notifications, made as the platform makes them:
// under the loader lock, with the reasons 1 (process attach) and 0 (process
// detach).
using TEntryRoutine = bool (*)(uint32_t reason, bool processEnding);
bool LoadLibrary(TEntryRoutine entry);
void FreeLibrary(TEntryRoutine entry);
// As a process exit does: ends every thread made by CreateThread wherever it
// is, then sends process detach with processEnding true.
void ExitProcess(TEntryRoutine entry);

// --- Message boxes: recorded, and closed at once with OK, as by a user who
// clicks at once. After KeepNextMessageBoxOpen the next box runs its modal
// loop, as Windows' does: messages sent to its thread's windows are handled
// inside MessageBoxA until CloseMessageBox (from a window procedure run
// there, or another thread).
struct TMessageBoxRecord {
    platform::TWindow Owner = nullptr;
    std::string Text;
    std::string Caption;
    uint32_t Style = 0;
    int Count = 0;  // boxes shown so far
};
TMessageBoxRecord LastMessageBox();
void KeepNextMessageBoxOpen();
void CloseMessageBox();

}  // namespace emulated
