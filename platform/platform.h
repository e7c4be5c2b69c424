// The Windows operations the rest of the system uses, under their Windows
// names. Two providers implement this header: the real API
// (windows_platform.cpp) and an emulated Windows in portable C++ that the
// tests drive (its calls in emulated_platform.cpp, in the same order; the
// rest in emulated_*.cpp). Nothing above this layer knows which one it runs
// on.
#pragma once

#include <cstdint>

namespace platform {

using THandle = void*;
using TWindow = void*;

// A thread routine; it is always started with a null argument. The Windows
// provider calls it through a trampoline of its own, so it needs no
// calling-convention decoration.
using TThreadRoutine = uint32_t (*)(void* unused);

// Storage for one critical section. Each provider checks that its own
// record fits.
struct TPlatformCriticalSection {
    alignas(8) unsigned char Opaque[64];
};

// Results of the waits.
constexpr uint32_t WAIT_FIRST_OBJECT = 0;  // WAIT_OBJECT_0 + index
constexpr uint32_t WAIT_TIMED_OUT = 258;   // WAIT_TIMEOUT
constexpr uint32_t WAIT_ERROR = 0xFFFFFFFF;    // WAIT_FAILED
constexpr uint32_t WAIT_FOREVER = 0xFFFFFFFF;  // INFINITE

// 16 bits: bit 15 while the key is down; bit 0 when it was pressed since the
// previous query of that key, and the query clears it.
uint16_t GetAsyncKeyState(int vk);

constexpr uint32_t CREATE_SUSPENDED_THREAD = 4;  // CREATE_SUSPENDED
constexpr uint32_t WAIT_APC = 192;               // WAIT_IO_COMPLETION

// Starts `routine(nullptr)` with default security and stack: at once, or,
// with CREATE_SUSPENDED_THREAD, at its ResumeThread. Returns the thread's
// handle, 0 on failure.
THandle CreateThread(TThreadRoutine routine, uint32_t flags = 0);

// How far SuspendThread got.
enum TSuspension : uint8_t {
    SUSPENSION_REFUSED,      // the call failed: the thread runs on (or has ended)
    SUSPENSION_UNCONFIRMED,  // suspended, but not known to have stopped yet
    SUSPENSION_STOPPED,      // it runs no further instruction
};

// Suspends the thread and returns once it runs no further instruction (the
// Windows call is asynchronous; the provider makes it synchronous by reading
// the thread's context).
TSuspension SuspendThread(THandle thread);

// Ends the thread where it stands: no more of its code runs, and nothing of
// its exit (its stack and whatever locks it holds stay). Only for a thread
// known to hold none of the system's locks.
bool TerminateThread(THandle thread);

bool ResumeThread(THandle thread);

// Routines of the system itself that can be queued to a thread. Being the
// system's, they stay valid after the library that queued them is unloaded.
enum TSystemRoutine : uint8_t {
    SYSTEM_SET_EVENT,     // SetEvent(argument)
    SYSTEM_CLOSE_HANDLE,  // CloseHandle(argument)
    SYSTEM_EXIT_THREAD,   // ExitThread(argument): an ordinary thread exit
};

// Finds the system routines above in the system's export tables, once: that
// takes the loader's structures and may allocate from the process heap. So
// it is called before any thread exists that may be suspended, and then
// QueueUserAPC touches neither, even while another thread is suspended
// inside them. False when one cannot be found.
bool ResolveSystemRoutines();

// QueueUserAPC: `routine(argument)` runs on `thread` when it next waits
// alertably, or, if it has not reached its start routine yet, before that
// routine. Routines queued together run one after another, in order, before
// the thread goes on. False (nothing queued) before ResolveSystemRoutines
// has succeeded.
bool QueueUserAPC(TSystemRoutine routine, THandle thread, uintptr_t argument);

uint32_t GetCurrentThreadId();

// The identifier of the thread that owns `window`; 0 when there is no such
// window.
uint32_t GetWindowThreadProcessId(TWindow window);

// A monotonic clock with sub-millisecond resolution: counts, and counts per
// second.
uint64_t QueryPerformanceCounter();
uint64_t QueryPerformanceFrequency();

bool CloseHandle(THandle handle);

void Sleep(uint32_t milliseconds);

// Alertable, it also runs the routines queued to the calling thread, and
// then returns WAIT_APC at once (unless one of them ended the thread);
// otherwise 0 after the time.
uint32_t SleepEx(uint32_t milliseconds, bool alertable);

void InitializeCriticalSection(TPlatformCriticalSection& section);
void DeleteCriticalSection(TPlatformCriticalSection& section);
void EnterCriticalSection(TPlatformCriticalSection& section);
bool TryEnterCriticalSection(TPlatformCriticalSection& section);
void LeaveCriticalSection(TPlatformCriticalSection& section);

// An unnamed event with default security; 0 on failure.
THandle CreateEventA(bool manualReset, bool initialState);
bool SetEvent(THandle event);

// WAIT_FIRST_OBJECT, WAIT_TIMED_OUT or WAIT_ERROR.
uint32_t WaitForSingleObject(THandle handle, uint32_t milliseconds);

// MsgWaitForMultipleObjectsEx waking only for sent messages: waits for any
// of `handles` or for a message sent to a window of the calling thread
// (QS_SENDMESSAGE, also one that arrived before the call). Returns WAIT_FIRST_OBJECT + index for a handle,
// WAIT_FIRST_OBJECT + count for a sent message, or WAIT_TIMED_OUT.
uint32_t WaitForObjectsOrSentMessage(uint32_t count, const THandle* handles,
                                   uint32_t milliseconds);

constexpr uint32_t QS_SENDMESSAGE_FLAG = 0x40;  // QS_SENDMESSAGE

// Its high word holds QS_SENDMESSAGE_FLAG (when asked for) while a message
// sent to the calling thread's windows waits to be handled. Only the high
// word is relied on.
uint32_t GetQueueStatus(uint32_t flags);

// PeekMessage(PM_NOREMOVE | PM_QS_SENDMESSAGE): runs the window procedures
// of every message already sent to the calling thread's windows, and
// removes no posted message. Returns what PeekMessage returns, false: it
// retrieves no message, whether or not it handled some.
bool HandleSentMessages();

// InSendMessageEx(NULL): not 0 while the calling thread handles a message
// another thread sent it (SendMessage, SendNotifyMessage and the like), also
// inside a modal loop run from that handler; 0 otherwise.
uint32_t InSendMessageEx();

// Synchronous: returns after the window's owner has handled the message.
// A window that does not exist (0 included) gets nothing and yields 0.
intptr_t SendMessageA(TWindow window, uint32_t message, uintptr_t wParam,
                      intptr_t lParam);

int MessageBoxA(TWindow owner, const char* text, const char* caption,
                uint32_t style);

}  // namespace platform
