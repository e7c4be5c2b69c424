// The Windows operations the rest of the system uses, under their Windows
// names. Two providers implement this header, one file each: the real API
// (windows_platform.cpp) and an emulated Windows in portable C++
// (emulated_platform.cpp) that the tests drive. Nothing above this layer
// knows which one it runs on.
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

// Starts `routine(nullptr)` at once with default security and stack.
// Returns the thread's handle, 0 on failure.
THandle CreateThread(TThreadRoutine routine);

// Returns once the thread runs no further instruction (the Windows call is
// asynchronous; the provider makes it synchronous). False on failure.
bool SuspendThread(THandle thread);

// Ends a thread. Only safe for a thread known to hold no lock.
bool TerminateThread(THandle thread);

bool CloseHandle(THandle handle);

void Sleep(uint32_t milliseconds);

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

// Waits for any of `handles` or for a message sent to a window of the calling
// thread (QS_SENDMESSAGE). Returns WAIT_FIRST_OBJECT + index for a handle,
// WAIT_FIRST_OBJECT + count for a sent message, or WAIT_TIMED_OUT.
uint32_t MsgWaitForMultipleObjects(uint32_t count, const THandle* handles,
                                   uint32_t milliseconds);

// PeekMessage(PM_NOREMOVE | PM_QS_SENDMESSAGE): runs the window procedures
// of every message already sent to the calling thread's windows, removes no
// posted message. True when a message was waiting.
bool PeekMessageA();

// Synchronous: returns after the window's owner has handled the message.
// A window that does not exist (0 included) gets nothing and yields 0.
intptr_t SendMessageA(TWindow window, uint32_t message, uintptr_t wParam,
                      intptr_t lParam);

int MessageBoxA(TWindow owner, const char* text, const char* caption,
                uint32_t style);

}  // namespace platform
