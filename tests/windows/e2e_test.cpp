// End-to-end tests of the real xmp_plovane.dll: this program is the player.
// It loads the DLL from its own folder, binds it with its own GetHostTable,
// owns the main window the shortcuts go to, and injects key presses with
// keybd_event. A watchdog ends the process if a case hangs.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "xmp_dsp.h"

namespace {

using namespace host_interface;

constexpr DWORD HANG_LIMIT_MS = 60000;
constexpr DWORD DELIVERY_LIMIT_MS = 3000;  // a press reaches the window well within this
constexpr DWORD QUIET_MS = 350;            // more than three worker cycles

// --- The host: its window, its routine table, its thread.

HWND MainWindow;
DWORD MainThreadId;
std::vector<WPARAM> Shortcuts;
int HandledOffThread = 0;  // handled on another thread than the host's (must stay 0)
int NotFromWorker = 0;     // not sent from another thread (must stay 0)
void (*OnShortcut)(WPARAM) = nullptr;

LRESULT CALLBACK HostWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == HOST_SHORTCUT_MESSAGE) {
        if (GetCurrentThreadId() != MainThreadId) ++HandledOffThread;
        if (!InSendMessage()) ++NotFromWorker;
        Shortcuts.push_back(wParam);
        if (OnShortcut != nullptr) OnShortcut(wParam);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

TWindowHandle XMP_STDCALL GetMainWindow() { return MainWindow; }
const THostTable HostRoutines = {nullptr, GetMainWindow};
std::vector<uint32_t> HostTableRequests;
const THostTable* XMP_STDCALL GetHostTable(uint32_t interfaceNo) {
    HostTableRequests.push_back(interfaceNo);
    return &HostRoutines;
}

std::string DllPath() {
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
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
}
void PumpFor(DWORD ms) {
    PumpUntil([] { return false; }, ms);
}
bool PumpUntilShortcuts(size_t count) {
    return PumpUntil([count] { return Shortcuts.size() >= count; }, DELIVERY_LIMIT_MS);
}

void KeyDown(BYTE vk) { keybd_event(vk, 0, KEYEVENTF_EXTENDEDKEY, 0); }
void KeyUp(BYTE vk) { keybd_event(vk, 0, KEYEVENTF_EXTENDEDKEY | KEYEVENTF_KEYUP, 0); }
void Tap(BYTE vk) {
    KeyDown(vk);
    KeyUp(vk);
}

const BYTE MEDIA[] = {VK_MEDIA_STOP, VK_MEDIA_NEXT_TRACK, VK_MEDIA_PREV_TRACK, VK_MEDIA_PLAY_PAUSE};

bool SentMessageWaiting() { return (HIWORD(GetQueueStatus(QS_SENDMESSAGE)) & QS_SENDMESSAGE) != 0; }

// Waits, handling nothing, until the worker's send has reached this thread.
bool WaitForPendingSend() {
    const DWORD start = GetTickCount();
    while (!SentMessageWaiting()) {
        if (GetTickCount() - start >= DELIVERY_LIMIT_MS) return false;
        Sleep(1);
    }
    return true;
}

int ThreadCount() {
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
bool ThreadCountSettlesAt(int expected) {
    return PumpUntil([expected] { return ThreadCount() == expected; }, 2000);
}
int SettledThreadCount() {
    int last = ThreadCount();
    for (int stable = 0; stable < 5;) {
        PumpFor(60);
        const int now = ThreadCount();
        stable = now == last ? stable + 1 : 0;
        last = now;
    }
    return last;
}
DWORD HandleCount() {
    DWORD count = 0;
    GetProcessHandleCount(GetCurrentProcess(), &count);
    return count;
}

// --- The plug-in, loaded as the player loads it.

struct TPlugin {
    HMODULE Module = nullptr;
    TPluginDescriptor* Descriptor = nullptr;

    void Load() {
        Module = LoadLibraryA(DllPath().c_str());
        ASSERT_NE(Module, nullptr) << "cannot load " << DllPath();
    }
    TGetInterface2 Export() const {
        return reinterpret_cast<TGetInterface2>(
            reinterpret_cast<void*>(GetProcAddress(Module, "XMPDSP_GetInterface2")));
    }
    void Bind() {
        TGetInterface2 getInterface = Export();
        ASSERT_NE(getInterface, nullptr);
        Descriptor = getInterface(0, GetHostTable);
        ASSERT_NE(Descriptor, nullptr);
    }
    void Unload() {
        if (Module != nullptr) FreeLibrary(Module);
        Module = nullptr;
        Descriptor = nullptr;
    }
    void* Create() { return Descriptor->CreateInstance(); }
    void Free() { Descriptor->FreeInstance(reinterpret_cast<void*>(1)); }
};

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        Shortcuts.clear();
        HostTableRequests.clear();
        HandledOffThread = NotFromWorker = 0;
        OnShortcut = nullptr;
        // Every media key up, and no pressed-since bit left from elsewhere.
        for (BYTE vk : MEDIA) {
            KeyUp(vk);
            GetAsyncKeyState(vk);
        }
        KeyUp(VK_CONTROL);
    }
    void TearDown() override {
        for (BYTE vk : MEDIA) KeyUp(vk);
        Plugin.Unload();
        EXPECT_EQ(HandledOffThread, 0) << "a shortcut was handled off the host's thread";
        EXPECT_EQ(NotFromWorker, 0) << "a shortcut did not come from another thread";
    }
    // Wine starts a thread of its own on the first load; a full cycle first
    // keeps it out of the counts.
    int ThreadBaseline() {
        TPlugin warmUp;
        warmUp.Load();
        warmUp.Bind();
        warmUp.Create();
        warmUp.Free();
        warmUp.Unload();
        return SettledThreadCount();
    }
    void LoadBindCreate() {
        ASSERT_NO_FATAL_FAILURE(Plugin.Load());
        ASSERT_NO_FATAL_FAILURE(Plugin.Bind());
        ASSERT_EQ(Plugin.Create(), reinterpret_cast<void*>(1));
    }
    TPlugin Plugin;
};

TEST_F(EndToEnd, EachMediaKeySendsItsShortcutOncePerPressHoweverLongHeld) {
    LoadBindCreate();
    const WPARAM expected[] = {HOST_SHORTCUT_STOP, HOST_SHORTCUT_NEXT_TRACK, HOST_SHORTCUT_PREVIOUS_TRACK,
                               HOST_SHORTCUT_PLAY_PAUSE};
    for (size_t i = 0; i < 4; ++i) {
        KeyDown(MEDIA[i]);
        ASSERT_TRUE(PumpUntilShortcuts(i + 1)) << "key " << int(MEDIA[i]) << " sent nothing";
        PumpFor(QUIET_MS);  // still held
        KeyUp(MEDIA[i]);
        PumpFor(150);
        ASSERT_EQ(Shortcuts.size(), i + 1) << "key " << int(MEDIA[i]) << " sent more than once";
        EXPECT_EQ(Shortcuts[i], expected[i]);
    }
}

TEST_F(EndToEnd, TapsShorterThanACycleCountOnceEach) {
    LoadBindCreate();
    for (size_t i = 1; i <= 5; ++i) {
        Tap(VK_MEDIA_PREV_TRACK);
        ASSERT_TRUE(PumpUntilShortcuts(i)) << "tap " << i << " was missed";
        PumpFor(150);
        ASSERT_EQ(Shortcuts.size(), i) << "tap " << i << " counted twice";
    }
    EXPECT_EQ(Shortcuts, std::vector<WPARAM>(5, HOST_SHORTCUT_PREVIOUS_TRACK));
}

// Next and Stop go down while the worker waits inside its Play/Pause send:
// Play/Pause is the last entry of the scan under way, so the next scan is the
// first to see them, both together.
void PressNextThenStopOnce(WPARAM shortcut) {
    if (shortcut != HOST_SHORTCUT_PLAY_PAUSE) return;
    KeyDown(VK_MEDIA_NEXT_TRACK);
    KeyDown(VK_MEDIA_STOP);
    OnShortcut = nullptr;
}

TEST_F(EndToEnd, StopGoesBeforeNextWhenBothGoDownInOneCycle) {
    LoadBindCreate();
    OnShortcut = PressNextThenStopOnce;
    Tap(VK_MEDIA_PLAY_PAUSE);
    ASSERT_TRUE(PumpUntilShortcuts(3));
    EXPECT_EQ(Shortcuts, (std::vector<WPARAM>{HOST_SHORTCUT_PLAY_PAUSE, HOST_SHORTCUT_STOP, HOST_SHORTCUT_NEXT_TRACK}));
}

TEST_F(EndToEnd, NothingIsSentBeforeCreateInstanceOrAfterFreeInstance) {
    ASSERT_NO_FATAL_FAILURE(Plugin.Load());
    ASSERT_NO_FATAL_FAILURE(Plugin.Bind());
    Tap(VK_MEDIA_PLAY_PAUSE);
    PumpFor(QUIET_MS);
    EXPECT_TRUE(Shortcuts.empty());
    Plugin.Create();
    Tap(VK_MEDIA_PLAY_PAUSE);
    ASSERT_TRUE(PumpUntilShortcuts(1));
    Plugin.Free();
    Tap(VK_MEDIA_PLAY_PAUSE);
    KeyDown(VK_MEDIA_STOP);
    PumpFor(QUIET_MS);
    EXPECT_EQ(Shortcuts.size(), 1u);
}


TEST_F(EndToEnd, FreeInstanceWhileTheWorkersMessageIsPendingCompletes) {
    LoadBindCreate();
    const int withoutWorker = SettledThreadCount() - 1;
    for (int round = 1; round <= 3; ++round) {
        KeyDown(VK_MEDIA_PLAY_PAUSE);
        ASSERT_TRUE(WaitForPendingSend()) << "the worker sent nothing";
        Plugin.Free();
        EXPECT_EQ(Shortcuts.size(), static_cast<size_t>(round)) << "the pending message was not handled once";
        EXPECT_TRUE(ThreadCountSettlesAt(withoutWorker)) << "the worker is still there";
        KeyUp(VK_MEDIA_PLAY_PAUSE);
        PumpFor(150);
        EXPECT_EQ(Shortcuts.size(), static_cast<size_t>(round));
        if (round < 3) Plugin.Create();
    }
}

// Counted against the process with the library loaded, since Wine itself
// may keep a thread for a loaded library.
TEST_F(EndToEnd, TheWorkerRunsFromLoadAndIsGoneAfterFreeInstance) {
    const int unloaded = ThreadBaseline();
    ASSERT_NO_FATAL_FAILURE(Plugin.Load());
    ASSERT_NO_FATAL_FAILURE(Plugin.Bind());
    const int loaded = SettledThreadCount();
    EXPECT_GT(loaded, unloaded);
    Plugin.Create();
    EXPECT_EQ(ThreadCount(), loaded) << "the instance started another worker";
    Plugin.Free();
    EXPECT_TRUE(ThreadCountSettlesAt(loaded - 1)) << "the worker outlived FreeInstance";
    Plugin.Create();
    EXPECT_TRUE(ThreadCountSettlesAt(loaded)) << "no new worker";
    Tap(VK_MEDIA_NEXT_TRACK);
    EXPECT_TRUE(PumpUntilShortcuts(1));
    Plugin.Free();
    EXPECT_TRUE(ThreadCountSettlesAt(loaded - 1));
    Plugin.Unload();
    EXPECT_LE(SettledThreadCount(), loaded - 1) << "unloading without a worker started one";
}

TEST_F(EndToEnd, UnloadingWithTheInstanceLiveLeavesTheKeysDead) {
    LoadBindCreate();
    Tap(VK_MEDIA_NEXT_TRACK);
    ASSERT_TRUE(PumpUntilShortcuts(1));
    Plugin.Unload();
    Tap(VK_MEDIA_NEXT_TRACK);
    KeyDown(VK_MEDIA_PLAY_PAUSE);
    PumpFor(QUIET_MS);
    EXPECT_EQ(Shortcuts.size(), 1u);
}

TEST_F(EndToEnd, TwoHundredLoadUnloadCycles) {
    struct TMode {
        const char* Name;
        int ThreadsLeft;
        long HandlesLeft;
    } modes[] = {
        {"load, unload at once", 0, 0},
        {"load, bind, create, free, unload", 0, 0},
        {"create, unload with the instance live, worker idle", 0, 0},
        {"create, unload while the worker's message is pending", 0, 0},
    };
    std::mt19937 random(2026);
    ThreadBaseline();
    for (int m = 0; m < 4; ++m) {
        const int threads = SettledThreadCount();
        const DWORD handles = HandleCount();
        for (int cycle = 0; cycle < 50; ++cycle) {
            ASSERT_NO_FATAL_FAILURE(Plugin.Load());
            if (m > 0) {
                ASSERT_NO_FATAL_FAILURE(Plugin.Bind());
                Plugin.Create();
            }
            if (m == 1) Plugin.Free();
            if (m == 2) PumpFor(20 + random() % 40);
            if (m == 3) {
                KeyDown(VK_MEDIA_PLAY_PAUSE);
                ASSERT_TRUE(WaitForPendingSend());
            }
            Plugin.Unload();
            if (m == 3) {
                KeyUp(VK_MEDIA_PLAY_PAUSE);
                PumpFor(5);  // the abandoned worker's message is handled; it never runs again
            }
        }
        modes[m].ThreadsLeft = SettledThreadCount() - threads;
        modes[m].HandlesLeft = static_cast<long>(HandleCount()) - static_cast<long>(handles);
    }
    for (const TMode& mode : modes)
        std::printf("50 x %-55s threads left %3d, handles left %4ld\n", mode.Name, mode.ThreadsLeft,
                    mode.HandlesLeft);
    EXPECT_EQ(modes[1].ThreadsLeft, 0) << "a freed instance leaves no worker";
    EXPECT_EQ(modes[2].ThreadsLeft, 0) << "an idle worker is ended at unload";
    EXPECT_EQ(modes[1].HandlesLeft, 0);
    EXPECT_EQ(modes[2].HandlesLeft, 0);
    EXPECT_EQ(Shortcuts.size(), 50u) << "one press per pending cycle, handled once";
}

// --- The about box, read back from the real message box window.

struct TBoxFinder {
    HWND Box = nullptr;
    std::string Text;
    bool HasIcon = false;
};

BOOL CALLBACK ReadBoxChild(HWND child, LPARAM context) {
    auto* finder = reinterpret_cast<TBoxFinder*>(context);
    char className[32] = {};
    GetClassNameA(child, className, sizeof className);
    if (lstrcmpiA(className, "Static") != 0) return TRUE;
    if ((GetWindowLongA(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) {
        finder->HasIcon = true;
        return TRUE;
    }
    char text[1024] = {};
    GetWindowTextA(child, text, sizeof text);
    if (std::strlen(text) > finder->Text.size()) finder->Text = text;
    return TRUE;
}

DWORD WINAPI ShowAboutBox(LPVOID descriptor) {
    static_cast<TPluginDescriptor*>(descriptor)->ShowAbout(MainWindow);
    return 0;
}

TEST_F(EndToEnd, TheAboutBoxShowsTheCaptionAndText) {
    ASSERT_NO_FATAL_FAILURE(Plugin.Load());
    ASSERT_NO_FATAL_FAILURE(Plugin.Bind());
    HANDLE shower = CreateThread(nullptr, 0, ShowAboutBox, Plugin.Descriptor, 0, nullptr);
    ASSERT_NE(shower, nullptr);
    TBoxFinder finder;
    ASSERT_TRUE(PumpUntil([&] { return (finder.Box = FindWindowA("#32770", "Plovane 0.2")) != nullptr; }, 10000))
        << "no message box captioned \"Plovane 0.2\"";
    EnumChildWindows(finder.Box, ReadBoxChild, reinterpret_cast<LPARAM>(&finder));
    PostMessageA(finder.Box, WM_COMMAND, IDOK, 0);
    EXPECT_TRUE(PumpUntil([&] { return WaitForSingleObject(shower, 0) == WAIT_OBJECT_0; }, 10000))
        << "the box did not close";
    CloseHandle(shower);

    EXPECT_TRUE(finder.HasIcon);
    const std::string keys = "Keys are: Play/Pause, Previous, Next and Stop.";
    const std::string last =
        " New version was rewritten to do not use global hook on keyboard, which may sometimes not work "
        "on a systems with UAC enabled and no admin rights.";
    const std::string& text = finder.Text;
    const size_t keysAt = text.find(keys);
    ASSERT_NE(keysAt, std::string::npos) << text;
    EXPECT_NE(text.find("XMPlay"), std::string::npos);
    EXPECT_NE(text.find("media keys"), std::string::npos);
    EXPECT_NE(text.find(" Written by the Plovane authors ("), std::string::npos) << text;
    ASSERT_GT(text.size(), last.size());
    EXPECT_EQ(text.substr(text.size() - last.size()), last);
    EXPECT_EQ(text.find('\n'), std::string::npos);
}

// --- The descriptor as the player sees it.

TEST_F(EndToEnd, TheDescriptorAsThePlayerSeesIt) {
    ASSERT_NO_FATAL_FAILURE(Plugin.Load());
    TGetInterface2 getInterface = Plugin.Export();
    ASSERT_NE(getInterface, nullptr);
    TPluginDescriptor* first = getInterface(0, GetHostTable);
    TPluginDescriptor copy;
    std::memcpy(&copy, first, sizeof copy);
    TPluginDescriptor* second = getInterface(7, GetHostTable);
    EXPECT_EQ(first, second);
    EXPECT_EQ(std::memcmp(&copy, second, sizeof copy), 0);
    EXPECT_EQ(HostTableRequests, (std::vector<uint32_t>{0, 0}));

    const auto* slots = reinterpret_cast<const uint32_t*>(first);
    EXPECT_EQ(sizeof(TPluginDescriptor), 52u);
    EXPECT_EQ(slots[0], 0u) << "flag word";
    EXPECT_STREQ(first->Name, "Plovane");
    for (int empty : {6, 9, 10, 11}) EXPECT_EQ(slots[empty], 0u) << "slot " << empty;
    for (int routine : {2, 3, 4, 5, 7, 8, 12}) EXPECT_NE(slots[routine], 0u) << "slot " << routine;

    EXPECT_EQ(first->DescribeInstance(reinterpret_cast<void*>(1)), first->Name);
    unsigned char buffer[32];
    std::memset(buffer, 0x5A, sizeof buffer);
    EXPECT_EQ(first->ReadSettings(reinterpret_cast<void*>(1), buffer), 0u);
    EXPECT_EQ(first->ApplySettings(reinterpret_cast<void*>(1), buffer, sizeof buffer), 0xFFFFFFFFu);
    for (unsigned char byte : buffer) EXPECT_EQ(byte, 0x5A);

    std::vector<float> samples(512);
    std::mt19937 random(11);
    for (float& s : samples) s = std::uniform_real_distribution<float>(-1.0f, 1.0f)(random);
    const std::vector<float> before = samples;
    EXPECT_EQ(first->PassSamples(reinterpret_cast<void*>(1), samples.data(), 512), 512u);
    EXPECT_EQ(std::memcmp(samples.data(), before.data(), 512 * sizeof(float)), 0);
    EXPECT_EQ(first->PassSamples(reinterpret_cast<void*>(1), samples.data(), 0), 0u);
}

TEST_F(EndToEnd, TheDllCarriesItsVersion) {
    const std::string path = DllPath();
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
    ASSERT_GT(size, 0u);
    std::vector<char> info(size);
    ASSERT_TRUE(GetFileVersionInfoA(path.c_str(), 0, size, info.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(info.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwFileVersionMS, MAKELONG(2, 0));
    EXPECT_EQ(fixed->dwProductVersionMS, MAKELONG(2, 0));
    char* description = nullptr;
    ASSERT_TRUE(VerQueryValueA(info.data(), "\\StringFileInfo\\040904B0\\FileDescription",
                               reinterpret_cast<void**>(&description), &length));
    EXPECT_STREQ(description, "Plovane");
}

// Ends the process if a case runs past the limit, so a hang fails fast.
DWORD WINAPI Watchdog(LPVOID) {
    Sleep(HANG_LIMIT_MS);
    std::fprintf(stderr, "e2e: the test hung for %lu ms; ending it\n", HANG_LIMIT_MS);
    std::fflush(stderr);
    TerminateProcess(GetCurrentProcess(), 99);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    MainThreadId = GetCurrentThreadId();
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = HostWindowProc;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = "PlovaneTestHost";
    RegisterClassA(&windowClass);
    MainWindow = CreateWindowExA(0, windowClass.lpszClassName, "Plovane test host", WS_OVERLAPPEDWINDOW, 0, 0, 200,
                                 100, nullptr, nullptr, windowClass.hInstance, nullptr);
    if (MainWindow == nullptr) return 3;
    HANDLE watchdog = CreateThread(nullptr, 0, Watchdog, nullptr, 0, nullptr);
    if (watchdog != nullptr) CloseHandle(watchdog);
    return RUN_ALL_TESTS();
}
