// The stand-in player: treats xmp_plovane.dll exactly as the player does
// (load by path, XMPDSP_GetInterface2 with our GetHostTable, create the
// instance, run a message loop, free the instance, unload) and acts on the
// shortcut messages the plug-in sends, printing each with a timestamp and the
// play state it keeps.
//
//   stand_in_player [--scripted | --idle SECONDS] [--about] PATH\xmp_plovane.dll
//   stand_in_player --idle SECONDS --no-plugin
//
// Interactive (default): press the keyboard's media keys, in any program;
// Esc in this console or Ctrl+C quits. --scripted injects a fixed series of
// key presses instead and quits when done; it checks nothing itself.
// --about shows the plug-in's about box first. The script ends by having the
// player free the plug-in inside its handler of a Stop command, and create
// it again from a modal loop it runs there, as a player may when a command
// opens a dialog. --idle runs the message loop
// for the given time and quits (with --no-plugin, without loading anything):
// for measuring what a live instance costs an idle player.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "xmp_dsp.h"

namespace {

using namespace host_interface;

HWND MainWindow;
DWORD MainThreadId;
constexpr UINT_PTR IDLE_TIMER = 1;
LARGE_INTEGER StartTime, Frequency;
CRITICAL_SECTION OutputLock;

enum class TPlayState { Stopped, Playing, Paused };
TPlayState PlayState = TPlayState::Stopped;
int Track = 1;
int CommandsHandled = 0;

TPluginDescriptor* Plugin = nullptr;
TInstance Instance = nullptr;
constexpr UINT CREATE_FROM_DIALOG = WM_APP + 1;
// Set by the script: the next Stop frees and re-creates the plug-in inside
// its handler.
volatile LONG ReinstallOnNextStop = 0;

double Seconds() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart - StartTime.QuadPart) / static_cast<double>(Frequency.QuadPart);
}

void Say(const char* who, const char* what) {
    EnterCriticalSection(&OutputLock);
    std::printf("[%7.3f s] %-7s %s\n", Seconds(), who, what);
    std::fflush(stdout);
    LeaveCriticalSection(&OutputLock);
}

const char* StateName() {
    switch (PlayState) {
        case TPlayState::Playing: return "playing";
        case TPlayState::Paused: return "paused";
        default: return "stopped";
    }
}

void PerformShortcut(WPARAM shortcut) {
    const char* name = "unknown shortcut";
    switch (shortcut) {
        case HOST_SHORTCUT_PLAY_PAUSE:
            name = "Play/Pause";
            PlayState = PlayState == TPlayState::Playing ? TPlayState::Paused : TPlayState::Playing;
            break;
        case HOST_SHORTCUT_STOP:
            name = "Stop";
            PlayState = TPlayState::Stopped;
            break;
        case HOST_SHORTCUT_NEXT_TRACK:
            name = "Next";
            ++Track;
            break;
        case HOST_SHORTCUT_PREVIOUS_TRACK:
            name = "Previous";
            if (Track > 1) --Track;
            break;
        default: break;
    }
    ++CommandsHandled;
    char line[160];
    std::snprintf(line, sizeof line, "shortcut %u (%s) -> %s, track %d%s", static_cast<unsigned>(shortcut), name,
                  StateName(), Track, InSendMessage() ? "" : " [not sent from another thread]");
    Say("player", line);
}

// In the handler of the plug-in's own command: frees the instance there,
// then runs a modal loop (as a dialog does) in which a control of the
// player's creates it again.
void ReinstallInTheHandler() {
    Plugin->FreeInstance(Instance);
    Say("player", "freed the instance inside the handler of its command");
    PostMessageA(MainWindow, CREATE_FROM_DIALOG, 0, 0);
    const DWORD until = GetTickCount() + 300;
    MSG message;
    while (GetTickCount() < until) {
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
    Say("player", "modal loop closed");
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == HOST_SHORTCUT_MESSAGE) {
        PerformShortcut(wParam);
        if (wParam == HOST_SHORTCUT_STOP && InterlockedExchange(&ReinstallOnNextStop, 0) != 0) ReinstallInTheHandler();
        return 0;
    }
    if (message == CREATE_FROM_DIALOG) {
        Instance = Plugin->CreateInstance();
        Say("player", "created the instance again, from the modal loop");
        return 0;
    }
    if (message == WM_TIMER && wParam == IDLE_TIMER) {
        PostQuitMessage(0);
        return 0;
    }
    if (message == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

TWindowHandle XMP_STDCALL GetMainWindow() { return MainWindow; }
const THostTable HostRoutines = {nullptr, GetMainWindow};
const THostTable* XMP_STDCALL GetHostTable(uint32_t) { return &HostRoutines; }

// --- Scripted key presses.

void KeyDown(BYTE vk) { keybd_event(vk, 0, KEYEVENTF_EXTENDEDKEY, 0); }
void KeyUp(BYTE vk) { keybd_event(vk, 0, KEYEVENTF_EXTENDEDKEY | KEYEVENTF_KEYUP, 0); }

void Press(const char* what, BYTE vk, DWORD holdMs) {
    Say("script", what);
    KeyDown(vk);
    Sleep(holdMs);
    KeyUp(vk);
}

DWORD WINAPI Script(LPVOID) {
    const DWORD gap = 400;
    Sleep(300);
    Press("Play/Pause, held 300 ms", VK_MEDIA_PLAY_PAUSE, 300);
    Sleep(gap);
    Press("Next, held 1.5 s: one command however long", VK_MEDIA_NEXT_TRACK, 1500);
    Sleep(gap);
    Press("Previous, a 5 ms tap, shorter than a cycle", VK_MEDIA_PREV_TRACK, 5);
    Sleep(gap);
    Press("Play/Pause, a 1 ms tap", VK_MEDIA_PLAY_PAUSE, 1);
    Sleep(gap);
    Say("script", "Next and Stop down together, in one cycle: Stop goes first");
    KeyDown(VK_MEDIA_NEXT_TRACK);
    KeyDown(VK_MEDIA_STOP);
    Sleep(200);
    KeyUp(VK_MEDIA_STOP);
    KeyUp(VK_MEDIA_NEXT_TRACK);
    Sleep(gap);
    Say("script", "Ctrl held with Play/Pause: modifiers change nothing");
    KeyDown(VK_CONTROL);
    Press("Play/Pause with Ctrl, held 150 ms", VK_MEDIA_PLAY_PAUSE, 150);
    KeyUp(VK_CONTROL);
    Sleep(gap);
    Press("Previous, held 150 ms", VK_MEDIA_PREV_TRACK, 150);
    Sleep(gap);
    InterlockedExchange(&ReinstallOnNextStop, 1);
    Press("Stop, held 150 ms: the player re-installs the plug-in in its handler", VK_MEDIA_STOP, 150);
    Sleep(gap + 300);
    Press("Next, held 150 ms: one command from the new instance", VK_MEDIA_NEXT_TRACK, 150);
    Sleep(gap);
    Say("script", "done");
    PostThreadMessageA(MainThreadId, WM_QUIT, 0, 0);
    return 0;
}

// --- Interactive quitting: Esc in the console, or Ctrl+C.

BOOL WINAPI OnConsoleControl(DWORD) {
    PostThreadMessageA(MainThreadId, WM_QUIT, 0, 0);
    return TRUE;
}

DWORD WINAPI WatchConsoleForEscape(LPVOID) {
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    INPUT_RECORD record;
    DWORD read = 0;
    while (ReadConsoleInputA(input, &record, 1, &read) && read == 1) {
        if (record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown &&
            record.Event.KeyEvent.wVirtualKeyCode == VK_ESCAPE)
            break;
    }
    PostThreadMessageA(MainThreadId, WM_QUIT, 0, 0);
    return 0;
}

int Fail(const char* what) {
    std::fprintf(stderr, "stand_in_player: %s (error %lu)\n", what, GetLastError());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    bool scripted = false, about = false, noPlugin = false;
    int idleSeconds = 0;
    const char* dllPath = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--scripted") == 0) scripted = true;
        else if (std::strcmp(argv[i], "--about") == 0) about = true;
        else if (std::strcmp(argv[i], "--no-plugin") == 0) noPlugin = true;
        else if (std::strcmp(argv[i], "--idle") == 0 && i + 1 < argc) idleSeconds = std::atoi(argv[++i]);
        else dllPath = argv[i];
    }
    if ((dllPath == nullptr && !noPlugin) || (noPlugin && idleSeconds <= 0)) {
        std::fprintf(stderr,
                     "usage: stand_in_player [--scripted | --idle SECONDS] [--about] PATH\\xmp_plovane.dll\n"
                     "       stand_in_player --idle SECONDS --no-plugin\n");
        return 2;
    }
    InitializeCriticalSection(&OutputLock);
    QueryPerformanceFrequency(&Frequency);
    QueryPerformanceCounter(&StartTime);
    MainThreadId = GetCurrentThreadId();

    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = "PlovaneStandInPlayer";
    if (!RegisterClassA(&windowClass)) return Fail("cannot register the window class");
    MainWindow = CreateWindowExA(0, windowClass.lpszClassName, "Plovane stand-in player", WS_OVERLAPPEDWINDOW,
                                 CW_USEDEFAULT, CW_USEDEFAULT, 320, 120, nullptr, nullptr, windowClass.hInstance,
                                 nullptr);
    if (MainWindow == nullptr) return Fail("cannot create the main window");

    if (noPlugin) {
        Say("player", "idle, without the plug-in");
        SetTimer(MainWindow, IDLE_TIMER, static_cast<UINT>(idleSeconds) * 1000, nullptr);
        MSG message;
        while (GetMessageA(&message, nullptr, 0, 0) > 0) DispatchMessageA(&message);
        DestroyWindow(MainWindow);
        return 0;
    }

    HMODULE plugin = LoadLibraryA(dllPath);
    if (plugin == nullptr) return Fail("cannot load the plug-in");
    auto getInterface =
        reinterpret_cast<TGetInterface2>(reinterpret_cast<void*>(GetProcAddress(plugin, "XMPDSP_GetInterface2")));
    if (getInterface == nullptr) return Fail("the plug-in has no XMPDSP_GetInterface2");
    TPluginDescriptor* descriptor = getInterface(0, GetHostTable);
    Plugin = descriptor;
    char line[200];
    std::snprintf(line, sizeof line, "loaded %s: \"%s\"", dllPath, descriptor->Name);
    Say("player", line);

    if (about) {
        Say("player", "showing the about box");
        descriptor->ShowAbout(MainWindow);
    }
    Instance = descriptor->CreateInstance();
    Say("player", "instance created: the media keys are live");

    if (idleSeconds > 0) {
        Say("player", "idle with the instance live");
        SetTimer(MainWindow, IDLE_TIMER, static_cast<UINT>(idleSeconds) * 1000, nullptr);
    } else if (scripted) {
        HANDLE script = CreateThread(nullptr, 0, Script, nullptr, 0, nullptr);
        if (script == nullptr) return Fail("cannot start the script");
        CloseHandle(script);
    } else {
        Say("player", "press the media keys (in any program); Esc here or Ctrl+C quits");
        SetConsoleCtrlHandler(OnConsoleControl, TRUE);
        HANDLE watcher = CreateThread(nullptr, 0, WatchConsoleForEscape, nullptr, 0, nullptr);
        if (watcher != nullptr) CloseHandle(watcher);
    }

    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }

    descriptor->FreeInstance(Instance);
    Say("player", "instance freed");
    FreeLibrary(plugin);
    std::snprintf(line, sizeof line, "unloaded; %d commands handled, finally %s on track %d", CommandsHandled,
                  StateName(), Track);
    Say("player", line);
    DestroyWindow(MainWindow);
    return 0;
}
