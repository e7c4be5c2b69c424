// platform.h on the real Windows API.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "platform.h"

static_assert(sizeof(CRITICAL_SECTION) <= sizeof(platform::TPlatformCriticalSection),
              "CRITICAL_SECTION must fit its storage");
static_assert(platform::WAIT_TIMED_OUT == WAIT_TIMEOUT, "wait result");
static_assert(platform::WAIT_ERROR == WAIT_FAILED, "wait result");
static_assert(platform::WAIT_FOREVER == INFINITE, "infinite timeout");

namespace {

CRITICAL_SECTION* Native(platform::TPlatformCriticalSection& section) {
    return reinterpret_cast<CRITICAL_SECTION*>(section.Opaque);
}

// CreateThread's one pointer carries our routine; the routine itself gets no
// argument.
DWORD WINAPI StartRoutine(LPVOID parameter) {
    return reinterpret_cast<platform::TThreadRoutine>(parameter)(nullptr);
}

// The system's own entry points, from kernel32's export table (our import
// thunks live in our image, and a routine queued at unload runs after it is
// gone). Found once, by ResolveSystemRoutines.
PAPCFUNC SystemRoutines[platform::SYSTEM_EXIT_THREAD + 1] = {};

}  // namespace

namespace platform {

uint16_t GetAsyncKeyState(int vk) { return static_cast<uint16_t>(::GetAsyncKeyState(vk)); }

static_assert(platform::CREATE_SUSPENDED_THREAD == CREATE_SUSPENDED, "creation flag");
static_assert(platform::WAIT_APC == WAIT_IO_COMPLETION, "wait result");
static_assert(platform::QS_SENDMESSAGE_FLAG == QS_SENDMESSAGE, "queue status flag");

THandle CreateThread(TThreadRoutine routine, uint32_t flags) {
    return ::CreateThread(nullptr, 0, StartRoutine, reinterpret_cast<LPVOID>(routine), flags, nullptr);
}

TSuspension SuspendThread(THandle thread) {
    if (::SuspendThread(thread) == static_cast<DWORD>(-1)) return SUSPENSION_REFUSED;
    // SuspendThread only asks; reading the context returns once the thread
    // has really stopped. If it cannot be read, it may still be running.
    CONTEXT context = {};
    context.ContextFlags = CONTEXT_CONTROL;
    return ::GetThreadContext(thread, &context) != FALSE ? SUSPENSION_STOPPED : SUSPENSION_UNCONFIRMED;
}

bool TerminateThread(THandle thread) { return ::TerminateThread(thread, 0) != FALSE; }

bool ResumeThread(THandle thread) { return ::ResumeThread(thread) != static_cast<DWORD>(-1); }

bool ResolveSystemRoutines() {
    static const char* const NAMES[] = {"SetEvent", "CloseHandle", "ExitThread"};
    static_assert(sizeof NAMES / sizeof NAMES[0] == sizeof SystemRoutines / sizeof SystemRoutines[0],
                  "a name for every routine");
    bool all = true;
    for (size_t i = 0; i < sizeof NAMES / sizeof NAMES[0]; ++i) {
        if (SystemRoutines[i] != nullptr) continue;
        const HMODULE kernel32 = ::GetModuleHandleA("kernel32.dll");
        // Each takes one pointer-sized argument, as an APC routine does.
        if (kernel32 != nullptr)
            SystemRoutines[i] =
                reinterpret_cast<PAPCFUNC>(reinterpret_cast<void*>(::GetProcAddress(kernel32, NAMES[i])));
        all = all && SystemRoutines[i] != nullptr;
    }
    return all;
}

bool QueueUserAPC(TSystemRoutine routine, THandle thread, uintptr_t argument) {
    // Only what ResolveSystemRoutines found: no loader, no heap here.
    const PAPCFUNC function = routine <= SYSTEM_EXIT_THREAD ? SystemRoutines[routine] : nullptr;
    return function != nullptr && ::QueueUserAPC(function, thread, argument) != 0;
}

uint32_t GetCurrentThreadId() { return ::GetCurrentThreadId(); }

uint32_t GetWindowThreadProcessId(TWindow window) {
    return window != nullptr ? ::GetWindowThreadProcessId(static_cast<HWND>(window), nullptr) : 0;
}

uint64_t QueryPerformanceCounter() {
    LARGE_INTEGER count;
    ::QueryPerformanceCounter(&count);
    return static_cast<uint64_t>(count.QuadPart);
}

uint64_t QueryPerformanceFrequency() {
    LARGE_INTEGER frequency;
    ::QueryPerformanceFrequency(&frequency);
    return static_cast<uint64_t>(frequency.QuadPart);
}

bool CloseHandle(THandle handle) { return ::CloseHandle(handle) != FALSE; }

void Sleep(uint32_t milliseconds) { ::Sleep(milliseconds); }

uint32_t SleepEx(uint32_t milliseconds, bool alertable) { return ::SleepEx(milliseconds, alertable); }

void InitializeCriticalSection(TPlatformCriticalSection& section) {
    ::InitializeCriticalSection(Native(section));
}

void DeleteCriticalSection(TPlatformCriticalSection& section) {
    ::DeleteCriticalSection(Native(section));
}

void EnterCriticalSection(TPlatformCriticalSection& section) {
    ::EnterCriticalSection(Native(section));
}

bool TryEnterCriticalSection(TPlatformCriticalSection& section) {
    return ::TryEnterCriticalSection(Native(section)) != FALSE;
}

void LeaveCriticalSection(TPlatformCriticalSection& section) {
    ::LeaveCriticalSection(Native(section));
}

THandle CreateEventA(bool manualReset, bool initialState) {
    return ::CreateEventA(nullptr, manualReset, initialState, nullptr);
}

bool SetEvent(THandle event) { return ::SetEvent(event) != FALSE; }

uint32_t WaitForSingleObject(THandle handle, uint32_t milliseconds) {
    return ::WaitForSingleObject(handle, milliseconds);
}

uint32_t WaitForObjectsOrSentMessage(uint32_t count, const THandle* handles,
                                   uint32_t milliseconds) {
    // MWMO_INPUTAVAILABLE: also wake for a sent message that arrived before
    // the call and has not been handled yet.
    return ::MsgWaitForMultipleObjectsEx(count, const_cast<HANDLE*>(handles), milliseconds,
                                         QS_SENDMESSAGE, MWMO_INPUTAVAILABLE);
}

uint32_t GetQueueStatus(uint32_t flags) { return ::GetQueueStatus(flags); }

bool HandleSentMessages() {
    MSG message;
    return ::PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE) != FALSE;
}

uint32_t InSendMessageEx() { return ::InSendMessageEx(nullptr); }

intptr_t SendMessageA(TWindow window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    return ::SendMessageA(static_cast<HWND>(window), message, wParam, lParam);
}

int MessageBoxA(TWindow owner, const char* text, const char* caption, uint32_t style) {
    return ::MessageBoxA(static_cast<HWND>(owner), text, caption, style);
}

}  // namespace platform
