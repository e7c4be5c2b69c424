// Key state as users meet it on Windows and under Wine, which the engine
// cannot change and must survive: every key reading 0 while another desktop
// or an elevated window is in front, another program's query taking a
// pressed-since bit, auto-repeat setting it again. No press is invented,
// none fires twice, and the engine fires normally once the state returns.
// And the about box's modal loop, in which the player may free the plug-in.
#include "plugin_fixture.h"

namespace {

using namespace plugin_fixture;

constexpr uint16_t VK_A = 0x41, VK_B = 0x42;

class KeyStateTest : public PollerTest {
protected:
    void SetUp() override {
        PollerTest::SetUp();
        ASSERT_TRUE(AddHotkey(1, 0, VK_A, Record));
        ASSERT_TRUE(AddHotkey(2, MOD_CONTROL_KEY, VK_B, Record));
        Settle();
    }
};

// Minutes on the lock screen: the worker cycles on at its usual cost, what
// was pressed and released meanwhile never fires, and a press afterwards
// fires once.
TEST_F(KeyStateTest, NothingPressedWhileTheKeyStateIsInaccessibleFiresThenOrLater) {
    Cycle();
    const uint64_t perCycle = [] {
        const uint64_t before = emulated::TotalKeyQueries();
        Cycle();
        return emulated::TotalKeyQueries() - before;
    }();
    emulated::SetKeyStateInaccessible(true);
    const uint64_t before = emulated::TotalKeyQueries();
    for (int cycle = 0; cycle < 600; ++cycle) {  // a minute
        if (cycle % 7 == 0) emulated::TapKey(VK_A);
        if (cycle % 11 == 0) emulated::PressKey(0x11);
        if (cycle % 11 == 0) emulated::TapKey(VK_B);
        if (cycle % 11 == 5) emulated::ReleaseKey(0x11);
        Cycle();
    }
    EXPECT_EQ(emulated::TotalKeyQueries() - before, 600 * perCycle) << "the worker's cost changed";
    emulated::ReleaseKey(0x11);
    emulated::SetKeyStateInaccessible(false);
    Cycles(2);
    EXPECT_TRUE(Fired().empty()) << "a press made while the state was inaccessible fired";
    emulated::TapKey(VK_A);
    Cycles(2);
    EXPECT_EQ(Fired(), (std::vector<int32_t>{1}));
}

// Another program's poll takes a tap's bit before our scan: the tap is
// lost, not invented later. A held key is still seen, once.
TEST_F(KeyStateTest, AnotherProgramsQueryTakesATapButNotAHeldKey) {
    emulated::TapKey(VK_A);
    emulated::AnotherProgramQueriesKey(VK_A);
    Cycles(2);
    EXPECT_TRUE(Fired().empty());
    emulated::PressKey(VK_A);
    for (int cycle = 0; cycle < 3; ++cycle) {
        emulated::AnotherProgramQueriesKey(VK_A);
        Cycle();
    }
    EXPECT_EQ(Fired(), (std::vector<int32_t>{1}));
}

// Auto-repeat sets the bit again on every repeated key-down, also just
// before the release: still one firing per press.
TEST_F(KeyStateTest, AutoRepeatFiresOncePerPress) {
    for (int press = 1; press <= 2; ++press) {
        emulated::PressKey(VK_A);
        for (int cycle = 0; cycle < 4; ++cycle) {
            emulated::AutoRepeatKey(VK_A);
            Cycle();
            emulated::AutoRepeatKey(VK_A);
        }
        emulated::ReleaseKey(VK_A);
        Cycles(2);
        EXPECT_EQ(Fired(), std::vector<int32_t>(static_cast<size_t>(press), 1));
    }
}

// The player shows the about box while Play/Pause is down: the box's modal
// loop handles the command, and the player frees the instance from there.
TEST_F(PluginTest, TheAboutBoxHandlesACommandWhoseHandlerFreesTheInstance) {
    TPluginDescriptor* plugin = Bind();
    plugin->CreateInstance();
    OnShortcut = [plugin](uintptr_t, intptr_t) {
        plugin->FreeInstance(nullptr);
        emulated::CloseMessageBox();
        return intptr_t{0};
    };
    const int boxes = emulated::LastMessageBox().Count;
    emulated::PressKey(VK_PLAY);
    emulated::KeepNextMessageBoxOpen();
    emulated::SetAutoClock(true);  // the box blocks this thread; the worker cycles on its own
    plugin->ShowAbout(MainWindow);
    emulated::SetAutoClock(false);
    EXPECT_EQ(Shortcuts, (std::vector<uintptr_t>{80}));
    EXPECT_EQ(HotkeyLast, -1);
    EXPECT_EQ(PollerThread, nullptr);
    EXPECT_FALSE(emulated::AdvanceToNextDeadline()) << "a worker still cycles";
    EXPECT_EQ(emulated::LastMessageBox().Count, boxes + 1);
}

}  // namespace
