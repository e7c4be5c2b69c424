// End-to-end tests of the real xmp_plovane.dll, as the player drives it:
// key presses, instances, the host's calls from inside the plug-in's waits,
// the about box, the descriptor and the version; and the suite's watchdog
// and main. The unload cases are in e2e_unload_test.cpp.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "e2e_support.h"

#include <tlhelp32.h>
#include "plovane_version.h"

namespace {

using namespace e2e;

TEST_F(EndToEnd, EachMediaKeySendsItsShortcutOncePerPressHoweverLongHeld) {
    LoadBindCreate();
    for (size_t i = 0; i < 4; ++i) {
        KeyDown(MEDIA_KEYS[i]);
        ASSERT_TRUE(PumpUntilShortcuts(i + 1)) << "key " << int(MEDIA_KEYS[i]) << " sent nothing";
        PumpFor(QUIET_MS);  // still held
        KeyUp(MEDIA_KEYS[i]);
        PumpFor(150);
        ASSERT_EQ(Shortcuts.size(), i + 1) << "key " << int(MEDIA_KEYS[i]) << " sent more than once";
        EXPECT_EQ(Shortcuts[i], MEDIA_SHORTCUTS[i]);
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
    ASSERT_TRUE(Plugin.Load());
    ASSERT_TRUE(Plugin.Bind());
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
        ASSERT_TRUE(WaitForPendingSend(DELIVERY_LIMIT_MS)) << "the worker sent nothing";
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
    ASSERT_TRUE(Plugin.Load());
    ASSERT_TRUE(Plugin.Bind());
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

// --- The host's window procedures calling the plug-in from inside its waits
// for the worker. Another thread of the host sends the main window a message
// without waiting (SendNotifyMessage); the host's thread handles it the next
// time it services sent messages: inside CreateInstance or FreeInstance.

constexpr UINT FREE_INSTANCE = WM_APP + 1;
constexpr UINT CREATE_FREE_CREATE = WM_APP + 2;
TPlugin* ReentryPlugin = nullptr;
int ReentryRuns = 0;
void RunReentry(UINT message) {
    ++ReentryRuns;
    if (message == FREE_INSTANCE) ReentryPlugin->Free();
    if (message == CREATE_FREE_CREATE) {
        ReentryPlugin->Create();
        ReentryPlugin->Free();
        ReentryPlugin->Create();
    }
}

TEST_F(EndToEnd, HostCallsDuringThePlugInsWaitsLeaveExactlyOneLiveInstance) {
    ASSERT_TRUE(Plugin.Load());
    ASSERT_TRUE(Plugin.Bind());
    ReentryPlugin = &Plugin;
    OnAppMessage = RunReentry;
    auto expectOneLiveInstance = [&](size_t before) {
        EXPECT_TRUE(WorkersSettleAt(1)) << "not exactly one worker";
        // Held past a cycle: a tap just after its key's sample in a scan is
        // cleared, unseen, by that cycle's reset.
        KeyDown(VK_MEDIA_NEXT_TRACK);
        PumpFor(150);
        KeyUp(VK_MEDIA_NEXT_TRACK);
        ASSERT_TRUE(PumpUntilShortcuts(before + 1)) << "the keys are dead";
        PumpFor(QUIET_MS);
        ASSERT_EQ(Shortcuts.size(), before + 1) << "a press sent more than once";
        EXPECT_EQ(Shortcuts.back(), static_cast<WPARAM>(HOST_SHORTCUT_NEXT_TRACK));
    };

    // CreateInstance while the worker's message is pending: the worker lends
    // its lock out for the send, so CreateInstance completes at once; the
    // message, then a handler that frees the first instance, come after.
    Plugin.Create();
    KeyDown(VK_MEDIA_PLAY_PAUSE);
    ASSERT_TRUE(WaitForPendingSend(DELIVERY_LIMIT_MS));
    KeyUp(VK_MEDIA_PLAY_PAUSE);
    NotifyFromAnotherThread(FREE_INSTANCE);
    EXPECT_EQ(Plugin.Create(), reinterpret_cast<void*>(1));
    EXPECT_TRUE(PumpUntil([] { return ReentryRuns == 1; }, DELIVERY_LIMIT_MS));
    EXPECT_EQ(Shortcuts.size(), 1u) << "the pending message was not handled once";
    expectOneLiveInstance(1);

    // FreeInstance's last removal waits for the stopping worker; the handler
    // creates an instance, frees it (a stop nested in the stop) and creates
    // another, whose keys must get a worker.
    NotifyFromAnotherThread(CREATE_FREE_CREATE);
    Plugin.Free();
    EXPECT_EQ(ReentryRuns, 2);
    expectOneLiveInstance(2);

    Plugin.Free();
    EXPECT_TRUE(WorkersSettleAt(0)) << "the worker outlived the last FreeInstance";
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
    ASSERT_TRUE(Plugin.Load());
    ASSERT_TRUE(Plugin.Bind());
    HANDLE shower = CreateThread(nullptr, 0, ShowAboutBox, Plugin.Descriptor, 0, nullptr);
    ASSERT_NE(shower, nullptr);
    TBoxFinder finder;
    ASSERT_TRUE(PumpUntil([&] { return (finder.Box = FindWindowA("#32770", "Plovane " PLOVANE_VERSION)) != nullptr; },
                          10000))
        << "no message box captioned \"Plovane " PLOVANE_VERSION "\"";
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
    ASSERT_TRUE(Plugin.Load());
    TGetInterface2 getInterface = Plugin.Export();
    ASSERT_NE(getInterface, nullptr);
    TPluginDescriptor* first = getInterface(0, GetHostTable);
    TPluginDescriptor copy;
    std::memcpy(&copy, first, sizeof copy);
    TPluginDescriptor* second = getInterface(7, GetHostTable);
    EXPECT_EQ(first, second);
    EXPECT_EQ(std::memcmp(&copy, second, sizeof copy), 0);
    EXPECT_EQ(HostTableRequests, (std::vector<uint32_t>{0, 0}));

    // Thirteen pointer-sized slots: 52 bytes in the 32-bit DLL the player loads.
    const auto* slots = reinterpret_cast<const uintptr_t*>(first);
    EXPECT_EQ(sizeof(TPluginDescriptor), 13 * sizeof(void*));
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

// The version the project sets, read back from the DLL's version resource.
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
    EXPECT_EQ(fixed->dwFileVersionMS, MAKELONG(PLOVANE_VERSION_MINOR, PLOVANE_VERSION_MAJOR));
    EXPECT_EQ(fixed->dwProductVersionMS, MAKELONG(PLOVANE_VERSION_MINOR, PLOVANE_VERSION_MAJOR));
    auto text = [&](const char* name) -> std::string {
        char* value = nullptr;
        const std::string key = std::string("\\StringFileInfo\\040904B0\\") + name;
        if (!VerQueryValueA(info.data(), key.c_str(), reinterpret_cast<void**>(&value), &length)) return "";
        return value;
    };
    EXPECT_EQ(text("FileDescription"), "Plovane");
    EXPECT_EQ(text("FileVersion"), PLOVANE_VERSION);
    EXPECT_EQ(text("ProductVersion"), PLOVANE_VERSION);
}

// Ends the process when a case stops making progress, so a hang fails fast.
// Through the system alone: a hung case may hold the C runtime's locks (a
// thread suspended inside an allocation holds the heap's).
DWORD WINAPI Watchdog(LPVOID) {
    for (;;) {
        Sleep(500);
        if (GetTickCount() - LastProgress > HANG_LIMIT_MS) break;
    }
    static const char MESSAGE[] = "e2e: no progress for 30 s; ending the test\n";
    static_assert(HANG_LIMIT_MS == 30000, "the message names the limit");
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), MESSAGE, sizeof MESSAGE - 1, &written, nullptr);
    // Where every thread stands: its instruction and the plug-in's frames
    // on its stack (offsets into xmp_plovane.dll), through the system alone.
    HMODULE dll = GetModuleHandleA("xmp_plovane.dll");
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID != GetCurrentProcessId() || entry.th32ThreadID == GetCurrentThreadId()) continue;
        HANDLE thread = OpenThread(THREAD_ALL_ACCESS, FALSE, entry.th32ThreadID);
        CONTEXT context = {};
        context.ContextFlags = CONTEXT_CONTROL;
        SuspendThread(thread);
        GetThreadContext(thread, &context);
        char line[512];
        char module[MAX_PATH] = "?";
        MEMORY_BASIC_INFORMATION code;
        if (VirtualQuery(reinterpret_cast<void*>(context.Eip), &code, sizeof code) == sizeof code)
            GetModuleFileNameA(static_cast<HMODULE>(code.AllocationBase), module, sizeof module);
        int length = wsprintfA(line, "thread %lu%s at %p in %s:", entry.th32ThreadID,
                               entry.th32ThreadID == host_kit::MainThreadId ? " (the host's)" : "",
                               reinterpret_cast<void*>(context.Eip), module);
        MEMORY_BASIC_INFORMATION stack, at;
        if (dll != nullptr && VirtualQuery(reinterpret_cast<void*>(context.Esp), &stack, sizeof stack) == sizeof stack) {
            const auto* word = reinterpret_cast<const DWORD*>(context.Esp);
            const auto* end = reinterpret_cast<const DWORD*>(static_cast<const char*>(stack.BaseAddress) + stack.RegionSize);
            HMODULE exe = GetModuleHandleA(nullptr);
            for (int n = 0; word < end && n < 24; ++word)
                if (*word > 0x10000 && VirtualQuery(reinterpret_cast<void*>(*word), &at, sizeof at) == sizeof at &&
                    (at.AllocationBase == dll || at.AllocationBase == exe)) {
                    length += wsprintfA(line + length, at.AllocationBase == dll ? " +%lx" : " exe+%lx",
                                        *word - reinterpret_cast<DWORD>(at.AllocationBase));
                    ++n;
                }
        }
        line[length++] = '\n';
        WriteFile(GetStdHandle(STD_ERROR_HANDLE), line, static_cast<DWORD>(length), &written, nullptr);
    }
    TerminateProcess(GetCurrentProcess(), 99);
    return 0;
}

// A crash ends the process at once with a message, rather than waiting for
// a debugger that never comes.
LONG WINAPI OnCrash(EXCEPTION_POINTERS* info) {
    std::fprintf(stderr, "e2e: unhandled exception 0x%08lx; ending the test\n",
                 static_cast<unsigned long>(info->ExceptionRecord->ExceptionCode));
    std::fflush(stderr);
    TerminateProcess(GetCurrentProcess(), 98);
    return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // What a case printed survives the watchdog's TerminateProcess.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    SetUnhandledExceptionFilter(OnCrash);
    if (!host_kit::CreateHostWindow()) return 3;
    host_kit::StillWorking = Progress;
    Progress();
    HANDLE watchdog = CreateThread(nullptr, 0, Watchdog, nullptr, 0, nullptr);
    if (watchdog != nullptr) CloseHandle(watchdog);
    return RUN_ALL_TESTS();
}
