// What a Windows program needs to play the player's part towards the real
// xmp_plovane.dll: a main window on its own thread that records the shortcut
// messages, the host's routine table, loading and binding the DLL, pumping,
// injected key presses, and the process's thread and handle counts. Used by
// the end-to-end tests and the benchmark host.
#pragma once

#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <tlhelp32.h>

#include <cwchar>
#include <string>
#include <vector>

#include "xmp_dsp.h"

namespace host_kit {

using namespace host_interface;

inline HWND MainWindow;
inline DWORD MainThreadId;

// Every shortcut handled, with the performance-counter time it arrived.
inline std::vector<WPARAM> Shortcuts;
inline std::vector<LONGLONG> ShortcutTimes;
inline int HandledOffThread = 0;  // handled on another thread than the host's (must stay 0)
inline int NotFromWorker = 0;     // not sent from another thread (must stay 0)
inline void (*OnShortcut)(WPARAM) = nullptr;
inline void (*OnAppMessage)(UINT) = nullptr;  // messages from WM_APP up
inline std::vector<uint32_t> HostTableRequests;
// Called now and then by the long counts below (a pass over every handle
// value is slow in the emulated PC): a watchdog's sign of life.
inline void (*StillWorking)() = nullptr;

inline LONGLONG Now() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}
inline double Milliseconds(LONGLONG ticks) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return 1000.0 * static_cast<double>(ticks) / static_cast<double>(frequency.QuadPart);
}

inline LRESULT CALLBACK HostWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == HOST_SHORTCUT_MESSAGE) {
        ShortcutTimes.push_back(Now());
        if (GetCurrentThreadId() != MainThreadId) ++HandledOffThread;
        if (!InSendMessage()) ++NotFromWorker;
        Shortcuts.push_back(wParam);
        if (OnShortcut != nullptr) OnShortcut(wParam);
        return 0;
    }
    if (message >= WM_APP && message <= 0xBFFF && OnAppMessage != nullptr) {
        OnAppMessage(message);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

inline TWindowHandle XMP_STDCALL GetMainWindow() { return MainWindow; }
inline const THostTable HostRoutines = {nullptr, GetMainWindow};
inline const THostTable* XMP_STDCALL GetHostTable(uint32_t interfaceNo) {
    HostTableRequests.push_back(interfaceNo);
    return &HostRoutines;
}

// Makes the host's main window on the calling thread, which becomes the
// host's thread.
inline bool CreateHostWindow() {
    MainThreadId = GetCurrentThreadId();
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = HostWindowProc;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = "PlovaneHost";
    RegisterClassA(&windowClass);
    MainWindow = CreateWindowExA(0, windowClass.lpszClassName, "Plovane host", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100,
                                 nullptr, nullptr, windowClass.hInstance, nullptr);
    return MainWindow != nullptr;
}

// xmp_plovane.dll beside this program.
inline std::string DllPath() {
    char path[MAX_PATH];
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string folder(path);
    return folder.substr(0, folder.find_last_of("\\/") + 1) + "xmp_plovane.dll";
}

// Handles everything for the host's thread until `done` holds or the time
// is up; false if it is up.
template <class TDone>
bool PumpUntil(TDone done, DWORD limitMs) {
    const DWORD start = GetTickCount();
    for (;;) {
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
        if (done()) return true;
        if (GetTickCount() - start >= limitMs) return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 1, QS_ALLINPUT);
    }
}
inline void PumpFor(DWORD ms) {
    PumpUntil([] { return false; }, ms);
}

inline void KeyDown(BYTE vk) { keybd_event(vk, 0, KEYEVENTF_EXTENDEDKEY, 0); }
inline void KeyUp(BYTE vk) { keybd_event(vk, 0, KEYEVENTF_EXTENDEDKEY | KEYEVENTF_KEYUP, 0); }
inline void Tap(BYTE vk) {
    KeyDown(vk);
    KeyUp(vk);
}

// In the order the plug-in registers them.
inline const BYTE MEDIA_KEYS[] = {VK_MEDIA_STOP, VK_MEDIA_NEXT_TRACK, VK_MEDIA_PREV_TRACK, VK_MEDIA_PLAY_PAUSE};
inline const WPARAM MEDIA_SHORTCUTS[] = {HOST_SHORTCUT_STOP, HOST_SHORTCUT_NEXT_TRACK, HOST_SHORTCUT_PREVIOUS_TRACK,
                                         HOST_SHORTCUT_PLAY_PAUSE};

// Every media key up, and no pressed-since bit left from elsewhere.
inline void ReleaseMediaKeys() {
    for (BYTE vk : MEDIA_KEYS) {
        KeyUp(vk);
        GetAsyncKeyState(vk);
    }
    KeyUp(VK_CONTROL);
}

inline bool SentMessageWaiting() { return (HIWORD(GetQueueStatus(QS_SENDMESSAGE)) & QS_SENDMESSAGE) != 0; }

// Waits, handling nothing, until the worker's send has reached this thread.
inline bool WaitForPendingSend(DWORD limitMs) {
    const DWORD start = GetTickCount();
    while (!SentMessageWaiting()) {
        if (GetTickCount() - start >= limitMs) return false;
        Sleep(1);
    }
    return true;
}

inline int ThreadCount() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry;
    entry.dwSize = sizeof entry;
    int count = 0;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++count;
    CloseHandle(snapshot);
    return count;
}
// Threads leave the count a little after they end.
inline bool ThreadCountSettlesAt(int expected) {
    return PumpUntil([expected] { return ThreadCount() == expected; }, 2000);
}
inline int SettledThreadCount() {
    int last = ThreadCount();
    for (int stable = 0; stable < 5;) {
        if (StillWorking != nullptr) StillWorking();
        PumpFor(60);
        const int now = ThreadCount();
        stable = now == last ? stable + 1 : 0;
        last = now;
    }
    return last;
}
// The threads of this process (the caller's aside) with `module`'s code on
// their stacks, or running it: each is suspended a moment to be read.
inline int ThreadsInModule(HMODULE module) {
    if (module == nullptr) return 0;
    auto inModule = [module](UINT_PTR address) {
        MEMORY_BASIC_INFORMATION info;
        return address > 0x10000 &&
               VirtualQuery(reinterpret_cast<void*>(address), &info, sizeof info) == sizeof info &&
               info.AllocationBase == module;
    };
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry;
    entry.dwSize = sizeof entry;
    int count = 0;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID != GetCurrentProcessId() || entry.th32ThreadID == GetCurrentThreadId()) continue;
        HANDLE thread = OpenThread(THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT, FALSE, entry.th32ThreadID);
        if (thread == nullptr) continue;
        CONTEXT context = {};
        context.ContextFlags = CONTEXT_CONTROL;
        bool found = false;
        if (SuspendThread(thread) != static_cast<DWORD>(-1)) {
            if (GetThreadContext(thread, &context)) {
#ifdef _WIN64
                const UINT_PTR ip = context.Rip, sp = context.Rsp;
#else
                const UINT_PTR ip = context.Eip, sp = context.Esp;
#endif
                MEMORY_BASIC_INFORMATION stack;
                found = inModule(ip);
                if (VirtualQuery(reinterpret_cast<void*>(sp), &stack, sizeof stack) == sizeof stack) {
                    const auto* word = reinterpret_cast<const UINT_PTR*>(sp);
                    const auto* end = reinterpret_cast<const UINT_PTR*>(static_cast<const char*>(stack.BaseAddress) +
                                                                        stack.RegionSize);
                    for (; !found && word < end; ++word) found = inModule(*word);
                }
            }
            ResumeThread(thread);
        }
        CloseHandle(thread);
        if (found) ++count;
    }
    CloseHandle(snapshot);
    return count;
}

// The process's open handles. Wine answers GetProcessHandleCount with 0, so
// there every handle value is tried instead.
inline long HandleCount() {
    DWORD count = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &count) && count > 0) return static_cast<long>(count);
    long open = 0;
    for (UINT_PTR value = 4; value < 0x20000; value += 4) {
        if (value % 0x4000 == 0 && StillWorking != nullptr) StillWorking();
        DWORD flags;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++open;
    }
    return open;
}

// The process's open handles, and among them those to events, by the type
// name the system gives each handle's object (NtQueryObject): what a worker
// left suspended must keep is exactly its two events, whatever else the
// system keeps for it. One pass over the handle values: under Wine each try
// is a call to the server, slow in the emulated PC.
struct THandleCounts {
    long All = 0;
    long Events = 0;
};
// `types`, when given, gets each handle's value and type name, one a line.
inline THandleCounts CountHandles(std::vector<std::string>* types = nullptr) {
    using TQueryObject = LONG(WINAPI*)(HANDLE, int, void*, ULONG, ULONG*);
    static const auto query = reinterpret_cast<TQueryObject>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryObject")));
    constexpr int OBJECT_TYPE_INFORMATION = 2;
    struct TTypeName {  // the start of OBJECT_TYPE_INFORMATION: a UNICODE_STRING
        USHORT Length;
        USHORT MaximumLength;
        const wchar_t* Buffer;
    };
    THandleCounts counts;
    for (UINT_PTR value = 4; value < 0x20000; value += 4) {
        if (value % 0x4000 == 0 && StillWorking != nullptr) StillWorking();
        const HANDLE handle = reinterpret_cast<HANDLE>(value);
        DWORD flags;
        if (!GetHandleInformation(handle, &flags)) continue;
        ++counts.All;
        alignas(8) unsigned char buffer[1024];
        ULONG length = 0;
        if (query == nullptr || query(handle, OBJECT_TYPE_INFORMATION, buffer, sizeof buffer, &length) != 0) continue;
        const auto* name = reinterpret_cast<const TTypeName*>(buffer);
        if (name->Buffer != nullptr && name->Length == 10 && std::wcsncmp(name->Buffer, L"Event", 5) == 0)
            ++counts.Events;
        if (types != nullptr && name->Buffer != nullptr) {
            std::string line = std::to_string(value) + " ";
            for (USHORT i = 0; i < name->Length / 2; ++i) line += static_cast<char>(name->Buffer[i]);
            types->push_back(line);
        }
    }
    DWORD count = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &count) && count > 0) counts.All = static_cast<long>(count);
    return counts;
}

// Private memory of the process, committed or reserved, in bytes: what a
// thread's stack and its system records take, whether the thread still runs
// or not.
inline unsigned long long PrivateAddressSpace() {
    unsigned long long total = 0;
    MEMORY_BASIC_INFORMATION info;
    const char* at = nullptr;
    while (VirtualQuery(at, &info, sizeof info) == sizeof info) {
        if (info.Type == MEM_PRIVATE && info.State != MEM_FREE) total += info.RegionSize;
        const char* next = static_cast<const char*>(info.BaseAddress) + info.RegionSize;
        if (next <= at) break;
        at = next;
    }
    return total;
}

// Sends `message` to the main window from another thread without waiting
// for it (SendNotifyMessage): the host's thread handles it the next time it
// services sent messages, wherever that is.
inline DWORD WINAPI NotifyMainWindow(LPVOID message) {
    SendNotifyMessageA(MainWindow, static_cast<UINT>(reinterpret_cast<UINT_PTR>(message)), 0, 0);
    return 0;
}
inline void NotifyFromAnotherThread(UINT message) {
    HANDLE thread = CreateThread(nullptr, 0, NotifyMainWindow,
                                 reinterpret_cast<LPVOID>(static_cast<UINT_PTR>(message)), 0, nullptr);
    if (thread == nullptr) return;
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
}

// The plug-in, loaded as the player loads it.
struct TPlugin {
    HMODULE Module = nullptr;
    TPluginDescriptor* Descriptor = nullptr;

    bool Load() {
        Module = LoadLibraryA(DllPath().c_str());
        return Module != nullptr;
    }
    TGetInterface2 Export() const {
        return reinterpret_cast<TGetInterface2>(
            reinterpret_cast<void*>(GetProcAddress(Module, "XMPDSP_GetInterface2")));
    }
    bool Bind() {
        TGetInterface2 getInterface = Export();
        Descriptor = getInterface != nullptr ? getInterface(0, GetHostTable) : nullptr;
        return Descriptor != nullptr;
    }
    void Unload() {
        if (Module != nullptr) FreeLibrary(Module);
        Module = nullptr;
        Descriptor = nullptr;
    }
    void* Create() { return Descriptor->CreateInstance(); }
    void Free() { Descriptor->FreeInstance(reinterpret_cast<void*>(1)); }
};

// The ways a host unloads the plug-in.
enum TUnloadMode {
    UNLOAD_RIGHT_AFTER_LOAD,
    UNLOAD_AFTER_CREATE_AND_FREE,
    UNLOAD_INSTANCE_LIVE_WORKER_IDLE,
    UNLOAD_MESSAGE_PENDING,  // the worker waits inside its callback's send
};

// What a run of load/unload cycles left in the process; Handles includes
// whatever the runtime leaves per load. UnloadMs: how long each FreeLibrary
// took.
struct TLeftBehind {
    int Threads = 0;
    long Handles = 0;
    long Events = 0;
    double AddressSpaceMiB = 0;
    std::vector<double> UnloadMs;
};

// Loads and unloads the plug-in `cycles` times in one way; eachCycle() runs
// at the start of every cycle and returns how long the worker idles before
// an unload with a live instance. False when the DLL would not load or bind,
// or a pending message never came.
template <class TEachCycle>
bool LoadUnloadCycles(TUnloadMode mode, int cycles, TEachCycle eachCycle, TLeftBehind& left) {
    const int threads = SettledThreadCount();
    const THandleCounts before = CountHandles();
    const unsigned long long space = PrivateAddressSpace();
    left.UnloadMs.clear();
    for (int cycle = 0; cycle < cycles; ++cycle) {
        const DWORD idleMs = eachCycle();
        TPlugin plugin;
        if (!plugin.Load()) return false;
        if (mode != UNLOAD_RIGHT_AFTER_LOAD) {
            if (!plugin.Bind()) return false;
            plugin.Create();
        }
        if (mode == UNLOAD_AFTER_CREATE_AND_FREE) plugin.Free();
        if (mode == UNLOAD_INSTANCE_LIVE_WORKER_IDLE) PumpFor(idleMs);
        if (mode == UNLOAD_MESSAGE_PENDING) {
            KeyDown(VK_MEDIA_PLAY_PAUSE);
            if (!WaitForPendingSend(3000)) return false;
        }
        const LONGLONG start = Now();
        plugin.Unload();
        left.UnloadMs.push_back(Milliseconds(Now() - start));
        if (mode == UNLOAD_MESSAGE_PENDING) {
            KeyUp(VK_MEDIA_PLAY_PAUSE);
            PumpFor(5);  // the abandoned worker's message is handled; it never runs again
        }
    }
    left.Threads = SettledThreadCount() - threads;
    const THandleCounts after = CountHandles();
    left.Handles = after.All - before.All;
    left.Events = after.Events - before.Events;
    left.AddressSpaceMiB = static_cast<double>(PrivateAddressSpace() - space) / (1024.0 * 1024.0);
    return true;
}

}  // namespace host_kit
