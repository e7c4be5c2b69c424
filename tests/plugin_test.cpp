// The plug-in driven as the player drives it, on the emulated Windows: the
// library's entry notifications, the export, the descriptor's routines, and
// the media keys reaching a window owned by the host's (this) thread.
#include <cstring>
#include <random>

#include "plugin_fixture.h"

namespace {

using namespace plugin_fixture;

TEST_F(PluginTest, TheDescriptorIsTheSameRecordOnEveryBind) {
    TPluginDescriptor* first = Bind();
    TPluginDescriptor copy;
    std::memcpy(&copy, first, sizeof copy);
    TPluginDescriptor* second = Bind();
    EXPECT_EQ(first, second);
    EXPECT_EQ(std::memcmp(&copy, second, sizeof copy), 0);
    EXPECT_EQ(HostTableRequests, (std::vector<uint32_t>{0, 0}));

    EXPECT_EQ(first->Flags, 0u);
    EXPECT_STREQ(first->Name, "Plovane");
    EXPECT_EQ(first->Slot6, nullptr);
    EXPECT_EQ(first->Slot9, nullptr);
    EXPECT_EQ(first->Slot10, nullptr);
    EXPECT_EQ(first->Slot11, nullptr);
    for (auto slot : {reinterpret_cast<void*>(first->ShowAbout), reinterpret_cast<void*>(first->CreateInstance),
                      reinterpret_cast<void*>(first->FreeInstance), reinterpret_cast<void*>(first->DescribeInstance),
                      reinterpret_cast<void*>(first->ReadSettings), reinterpret_cast<void*>(first->ApplySettings),
                      reinterpret_cast<void*>(first->PassSamples)})
        EXPECT_NE(slot, nullptr);
}

TEST_F(PluginTest, TheRoutinesWithoutEffectOnTheKeysDoWhatTheHostExpects) {
    TPluginDescriptor* d = Bind();
    EXPECT_EQ(d->DescribeInstance(nullptr), d->Name);

    unsigned char buffer[64];
    std::memset(buffer, 0xA5, sizeof buffer);
    EXPECT_EQ(d->ReadSettings(reinterpret_cast<void*>(1), buffer), 0u);
    EXPECT_EQ(d->ApplySettings(nullptr, buffer, sizeof buffer), 0xFFFFFFFFu);
    EXPECT_EQ(d->ApplySettings(reinterpret_cast<void*>(1), nullptr, 0), 0xFFFFFFFFu);
    for (unsigned char byte : buffer) ASSERT_EQ(byte, 0xA5);

    std::vector<float> samples(512);
    std::mt19937 random(7);
    for (float& s : samples) s = std::uniform_real_distribution<float>(-1, 1)(random);
    const std::vector<float> before = samples;
    EXPECT_EQ(d->PassSamples(nullptr, samples.data(), 0), 0u);
    EXPECT_EQ(d->PassSamples(nullptr, samples.data(), 512), 512u);
    EXPECT_EQ(std::memcmp(before.data(), samples.data(), 512 * sizeof(float)), 0);
    EXPECT_EQ(HotkeyLast, -1);
}

TEST_F(PluginTest, TheAboutBoxIsOneLineOfThreePieces) {
    Bind()->ShowAbout(MainWindow);
    const emulated::TMessageBoxRecord box = emulated::LastMessageBox();
    EXPECT_EQ(box.Owner, MainWindow);
    EXPECT_EQ(box.Caption, "Plovane " PLOVANE_VERSION);
    EXPECT_EQ(box.Style, 0x40u);
    const std::string keys = "Keys are: Play/Pause, Previous, Next and Stop.";
    const std::string last =
        "New version was rewritten to do not use global hook on keyboard, which may sometimes not work "
        "on a systems with UAC enabled and no admin rights.";
    const std::string& text = box.Text;
    const size_t keysAt = text.find(keys);
    ASSERT_NE(keysAt, std::string::npos);
    EXPECT_NE(text.substr(0, keysAt).find("media keys"), std::string::npos);
    EXPECT_EQ(text[keysAt - 1], ' ');
    ASSERT_GE(text.size(), last.size());
    EXPECT_EQ(text.substr(text.size() - last.size()), last);
    const std::string credit = text.substr(keysAt + keys.size(), text.size() - last.size() - keysAt - keys.size());
    EXPECT_EQ(credit.front(), ' ');
    EXPECT_EQ(credit.back(), ' ');
    EXPECT_NE(credit.find("the Plovane authors"), std::string::npos);
    EXPECT_NE(credit.find('@'), std::string::npos) << "the credit names a contact";
    EXPECT_EQ(text.find('\n'), std::string::npos);
    EXPECT_EQ(text.find("  "), std::string::npos);
    EXPECT_EQ(HotkeyLast, -1);
}

TEST_F(PluginTest, AnInstanceRegistersTheFourKeysAndFreeingItStopsTheWorker) {
    TPluginDescriptor* d = Bind();
    EXPECT_EQ(d->CreateInstance(), reinterpret_cast<void*>(1));
    EXPECT_EQ(HostWindow.load(), MainWindow);
    ASSERT_EQ(HotkeyLast, 3);
    const uint16_t order[] = {VK_STOP, VK_NEXT, VK_PREV, VK_PLAY};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(HotkeyTable[i].id, order[i]);
        EXPECT_EQ(HotkeyTable[i].vk, order[i]);
        EXPECT_EQ(HotkeyTable[i].modifiers, 0);
        EXPECT_EQ(HotkeyTable[i].callback, MediaKeyCommand);
    }
    const int threads = emulated::LiveThreadCount();
    d->FreeInstance(reinterpret_cast<void*>(1));
    EXPECT_EQ(HotkeyLast, -1);
    EXPECT_EQ(PollerThread, nullptr);
    EXPECT_EQ(emulated::LiveThreadCount(), threads - 1);

    const int handles = emulated::OpenHandleCount();
    d->FreeInstance(reinterpret_cast<void*>(1));
    EXPECT_EQ(PollerLock, nullptr);
    EXPECT_EQ(emulated::OpenHandleCount(), handles);
}

TEST_F(PluginTest, EachMediaKeySendsItsShortcutOncePerPress) {
    Bind()->CreateInstance();
    emulated::PressKey(VK_PLAY);
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(PumpCycle());
    EXPECT_EQ(Shortcuts, (std::vector<uintptr_t>{80}));
    emulated::ReleaseKey(VK_PLAY);
    ASSERT_TRUE(PumpCycle());
    for (uint16_t vk : {VK_STOP, VK_NEXT, VK_PREV, VK_PLAY}) {
        Tap(vk);
        ASSERT_TRUE(PumpCycle());
    }
    EXPECT_EQ(Shortcuts, (std::vector<uintptr_t>{80, 81, 128, 129, 80}));
}

TEST_F(PluginTest, StopGoesBeforeNextWhenBothComeInOneCycle) {
    Bind()->CreateInstance();
    emulated::TapKey(VK_NEXT);
    emulated::TapKey(VK_STOP);
    ASSERT_TRUE(PumpCycle());
    EXPECT_EQ(Shortcuts, (std::vector<uintptr_t>{81, 128}));
}

TEST_F(PluginTest, ModifierKeysHeldWithAMediaKeyChangeNothing) {
    Bind()->CreateInstance();
    emulated::PressKey(0x11);
    emulated::PressKey(0x10);
    Tap(VK_NEXT);
    EXPECT_EQ(Shortcuts, (std::vector<uintptr_t>{128}));
}

TEST_F(PluginTest, NothingIsSentBeforeCreateInstanceOrAfterFreeInstance) {
    TPluginDescriptor* d = Bind();
    Tap(VK_PLAY);
    EXPECT_TRUE(Shortcuts.empty());
    d->CreateInstance();
    PumpAndSettle();
    d->FreeInstance(reinterpret_cast<void*>(1));
    emulated::TapKey(VK_PLAY);
    EXPECT_FALSE(emulated::AdvanceToNextDeadline()) << "the worker is still running";
    PumpAndSettle();
    EXPECT_TRUE(Shortcuts.empty());
}

TEST_F(PluginTest, AnUnknownIdSendsNothing) {
    Bind()->CreateInstance();
    for (int32_t id : {0, 0x41, 0xB4, 0xAF, -1, 0x1B3}) MediaKeyCommand(id);
    PumpAndSettle();
    EXPECT_TRUE(Shortcuts.empty());
}

TEST_F(PluginTest, ASecondInstanceDoublesEveryCommand) {
    TPluginDescriptor* d = Bind();
    d->CreateInstance();
    d->CreateInstance();
    EXPECT_EQ(HotkeyLast, 7);
    Tap(VK_PREV);
    EXPECT_EQ(Shortcuts, (std::vector<uintptr_t>{129, 129}));
    d->FreeInstance(nullptr);
    EXPECT_EQ(HotkeyLast, 3);
    d->FreeInstance(nullptr);
    EXPECT_EQ(PollerThread, nullptr);
}

TEST_F(PluginTest, FreeInstanceWhileACommandWaitsForTheHostCompletesAndHandlesItOnce) {
    TPluginDescriptor* d = Bind();
    d->CreateInstance();
    emulated::TapKey(VK_PLAY);
    ASSERT_TRUE(emulated::AdvanceToNextDeadline());
    Settle();
    ASSERT_EQ(emulated::PendingSentMessages(), 1);
    d->FreeInstance(reinterpret_cast<void*>(1));
    EXPECT_EQ(Shortcuts, (std::vector<uintptr_t>{80}));
    EXPECT_EQ(PollerThread, nullptr);
    PumpAndSettle();
    EXPECT_EQ(Shortcuts, (std::vector<uintptr_t>{80}));
}

// --- The host's window procedures calling the plug-in from inside the
// engine's waits in CreateInstance and FreeInstance.

class PluginReentryTest : public PluginTest {
protected:
    // One instance's four keys, each sending its command once per press,
    // from the one worker.
    void ExpectOneLiveInstance() {
        ASSERT_EQ(HotkeyLast, 3);
        ASSERT_NE(PollerThread, nullptr);
        EXPECT_EQ(emulated::LiveThreadCount(), ThreadsBefore + 1);
        PumpAndSettle();
        Shortcuts.clear();
        for (uint16_t vk : {VK_PLAY, VK_NEXT}) emulated::TapKey(vk);
        ASSERT_TRUE(PumpCycle());
        EXPECT_EQ(Shortcuts, (std::vector<uintptr_t>{128, 80}));
    }
    TReentrantHandler Handler;
};

TEST_F(PluginReentryTest, FreeInstanceRunDuringCreateInstancesLockWait) {
    TPluginDescriptor* d = Bind();
    d->CreateInstance();
    HoldPollerAt(VK_STOP);
    Handler.RunInTheNextWait([d] {
        emulated::OpenGate();
        d->FreeInstance(nullptr);
    });
    EXPECT_EQ(d->CreateInstance(), reinterpret_cast<void*>(1));
    EXPECT_EQ(Handler.Runs, 1);
    ExpectOneLiveInstance();
}

TEST_F(PluginReentryTest, CreateFreeCreateRunDuringFreeInstancesStop) {
    TPluginDescriptor* d = Bind();
    d->CreateInstance();
    HoldPollerAt(0xFF);  // in its key reset: the stop has to wait
    Handler.RunInTheNextWait([d] {
        d->CreateInstance();
        emulated::OpenGate();
        d->FreeInstance(nullptr);
        d->CreateInstance();
    });
    d->FreeInstance(nullptr);
    EXPECT_EQ(Handler.Runs, 1);
    ExpectOneLiveInstance();
    d->FreeInstance(nullptr);
    EXPECT_EQ(PollerThread, nullptr);
    EXPECT_EQ(emulated::LiveThreadCount(), ThreadsBefore);
}

// A host that gives no routine table, or one without its window routine,
// gets an instance whose keys send to no window.
class MissingHostTableTest : public PluginTest, public ::testing::WithParamInterface<int> {};

TEST_P(MissingHostTableTest, CreateInstanceStillSucceedsAndTheKeysReachNoWindow) {
    TPluginDescriptor* d = nullptr;
    switch (GetParam()) {
        case 0: d = XMPDSP_GetInterface2(0, nullptr); break;
        case 1: TableToGive = nullptr; d = Bind(); break;
        case 2: TableToGive = &TableWithoutWindowRoutine; d = Bind(); break;
    }
    ASSERT_NE(d, nullptr);
    HostWindow.store(MainWindow);  // left over from an earlier instance
    EXPECT_EQ(d->CreateInstance(), reinterpret_cast<void*>(1));
    EXPECT_EQ(HostWindow.load(), nullptr);
    EXPECT_EQ(HotkeyLast, 3);
    Tap(VK_PLAY);
    EXPECT_TRUE(Shortcuts.empty());
    d->FreeInstance(nullptr);
    EXPECT_EQ(PollerThread, nullptr);
}
INSTANTIATE_TEST_SUITE_P(NoTableNullTableNoWindowRoutine, MissingHostTableTest, ::testing::Values(0, 1, 2));

// --- The entry notifications.

TEST_F(PluginTest, UnloadingWithAnInstanceLiveEndsTheWorkerAndTheKeysGoDead) {
    Bind()->CreateInstance();
    PumpAndSettle();
    const int threads = emulated::LiveThreadCount();
    emulated::FreeLibrary(LibraryEntry);
    Settle();  // its exit waited for the loader lock
    EXPECT_EQ(emulated::LiveThreadCount(), threads - 1);
    emulated::TapKey(VK_PLAY);
    EXPECT_FALSE(emulated::AdvanceToNextDeadline());
    PumpAndSettle();
    EXPECT_TRUE(Shortcuts.empty());
}

TEST_F(PluginTest, LoadingStartsTheWorkerBeforeAnyInstance) {
    EXPECT_NE(PollerThread, nullptr);
    EXPECT_EQ(emulated::ThreadWaitName(PollerThread), "SleepEx");
    EXPECT_EQ(HotkeyLast, -1);
}

TEST_F(PluginTest, AProcessExitWithAnInstanceLiveTouchesNothingAndNeverWaits) {
    Bind()->CreateInstance();
    PumpAndSettle();
    const int handles = emulated::OpenHandleCount();
    emulated::ExitProcess(LibraryEntry);
    EXPECT_EQ(emulated::OpenHandleCount(), handles);
    EXPECT_EQ(emulated::LiveThreadCount(), 0) << "the process exit ends every thread";
    // What ExitProcess left is beyond repair; forget it like a new process.
    ForgetModuleState();
}

}  // namespace
