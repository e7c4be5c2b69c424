#include <stdexcept>

#include "test_support.h"

namespace {

using namespace testing_support;

constexpr uint16_t VK_A = 0x41;
constexpr uint16_t VK_B = 0x42;

// One cycle as the worker runs it, on the test thread.
void Scan() {
    ScanHotkeys();
    ResetKeyStates();
}

std::vector<int32_t> LiveIds() {
    std::vector<int32_t> ids;
    for (int32_t i = 0; i <= HotkeyLast; ++i) ids.push_back(HotkeyTable[i].id);
    return ids;
}

TEST_F(TableTest, BuildKeyListOrdersKeyCtrlAltShiftAndIgnoresOtherBits) {
    struct {
        uint16_t modifiers;
        std::vector<uint16_t> expected;
    } const cases[] = {
        {0, {VK_A, 0, 0, 0, 0}},
        {7, {VK_A, 0x11, 0x12, 0x10, 0}},
        {1, {VK_A, 0x12, 0, 0, 0}},
        {2, {VK_A, 0x11, 0, 0, 0}},
        {4, {VK_A, 0x10, 0, 0, 0}},
        {5, {VK_A, 0x12, 0x10, 0, 0}},
        {8, {VK_A, 0, 0, 0, 0}},
        {0xFFFF, {VK_A, 0x11, 0x12, 0x10, 0}},
    };
    for (const auto& c : cases) {
        uint16_t keys[KEY_LIST_LENGTH];
        std::fill(std::begin(keys), std::end(keys), 0xEEEE);
        BuildKeyList(c.modifiers, VK_A, keys);
        EXPECT_EQ(std::vector<uint16_t>(std::begin(keys), std::end(keys)), c.expected)
            << "modifiers " << c.modifiers;
    }
}

TEST_F(TableTest, TheHundredAndFirstAppendChangesNothing) {
    for (int32_t id = 0; id < 100; ++id) ASSERT_TRUE(AppendHotkey(id, 0, VK_A, Record));
    HotkeyTable[7].pressed = 1;
    THotkeyEntry before[HOTKEY_CAPACITY];
    std::memcpy(before, HotkeyTable, sizeof before);
    EXPECT_FALSE(AppendHotkey(100, 0, VK_B, Record));
    EXPECT_EQ(HotkeyLast, 99);
    EXPECT_EQ(std::memcmp(before, HotkeyTable, sizeof before), 0);
}

TEST_F(TableTest, DeletingTheMiddleEntryShiftsTheRestDownWithTheirFlags) {
    AppendHotkey(1, 0, VK_A, Record);
    AppendHotkey(2, 0, VK_A, Record);
    AppendHotkey(3, 2, VK_B, nullptr);
    HotkeyTable[0].pressed = 1;
    HotkeyTable[2].pressed = 1;
    EXPECT_TRUE(DeleteHotkey(2));
    EXPECT_EQ(LiveIds(), (std::vector<int32_t>{1, 3}));
    EXPECT_EQ(HotkeyTable[0].pressed, 1);
    EXPECT_EQ(HotkeyTable[1].pressed, 1);
    EXPECT_EQ(HotkeyTable[1].vk, VK_B);
    EXPECT_EQ(HotkeyTable[1].modifiers, 2);
    EXPECT_EQ(HotkeyTable[1].keys[1], 0x11);
    EXPECT_EQ(HotkeyTable[1].callback, nullptr);
    EXPECT_FALSE(DeleteHotkey(2));
    EXPECT_EQ(LiveIds(), (std::vector<int32_t>{1, 3}));
}

TEST_F(TableTest, DuplicateIdsBothFireAndDeleteTakesTheLowerSlot) {
    AppendHotkey(5, 0, VK_A, Record);
    AppendHotkey(5, 0, VK_B, Record);
    emulated::TapKey(VK_A);
    emulated::TapKey(VK_B);
    Scan();
    EXPECT_EQ(Fired(), (std::vector<int32_t>{5, 5}));
    EXPECT_TRUE(DeleteHotkey(5));
    ASSERT_EQ(HotkeyLast, 0);
    EXPECT_EQ(HotkeyTable[0].vk, VK_B);
    Scan();  // both keys up: re-armed
    Fired().clear();
    emulated::TapKey(VK_A);
    emulated::TapKey(VK_B);
    Scan();
    EXPECT_EQ(Fired(), (std::vector<int32_t>{5}));
}

TEST_F(TableTest, AHeldCombinationFiresOncePerHold) {
    AppendHotkey(1, 0, VK_A, Record);
    emulated::PressKey(VK_A);
    for (int i = 0; i < 5; ++i) Scan();
    EXPECT_EQ(Fired().size(), 1u);
    emulated::ReleaseKey(VK_A);
    Scan();
    emulated::PressKey(VK_A);
    Scan();
    EXPECT_EQ(Fired().size(), 2u);
}

TEST_F(TableTest, CombinationsCompletedTogetherFireInSlotOrder) {
    AppendHotkey(30, 0, VK_B, Record);
    AppendHotkey(10, 0, VK_A, Record);
    AppendHotkey(20, 0, VK_B, Record);
    emulated::PressKey(VK_A);
    emulated::PressKey(VK_B);
    ScanHotkeys();
    EXPECT_EQ(Fired(), (std::vector<int32_t>{30, 10, 20}));
}

TEST_F(TableTest, AnEntryWithVirtualKeyZeroNeverFires) {
    AppendHotkey(1, 7, 0, Record);
    for (int vk : {0, 0x10, 0x11, 0x12}) emulated::PressKey(vk);
    Scan();
    EXPECT_TRUE(Fired().empty());
    EXPECT_EQ(HotkeyTable[0].pressed, 0);
}

TEST_F(TableTest, AnEntryWithoutCallbackArmsAndDisarms) {
    AppendHotkey(1, 0, VK_A, nullptr);
    emulated::PressKey(VK_A);
    Scan();
    EXPECT_EQ(HotkeyTable[0].pressed, 1);
    emulated::ReleaseKey(VK_A);
    Scan();
    EXPECT_EQ(HotkeyTable[0].pressed, 0);
}

TEST_F(TableTest, AReusedSlotKeepsNothingOfItsEarlierOccupant) {
    AppendHotkey(1, 7, VK_A, Record);
    HotkeyTable[0].pressed = 1;
    DeleteHotkey(1);
    AppendHotkey(2, 0, VK_B, nullptr);
    EXPECT_EQ(HotkeyTable[0].callback, nullptr);
    EXPECT_EQ(HotkeyTable[0].pressed, 0);
    EXPECT_EQ(std::vector<uint16_t>(std::begin(HotkeyTable[0].keys), std::end(HotkeyTable[0].keys)),
              (std::vector<uint16_t>{VK_B, 0, 0, 0, 0}));
}

TEST_F(TableTest, ModifiersMustAllBeDownButExtraKeysDoNotMatter) {
    AppendHotkey(1, MOD_CONTROL_KEY | MOD_SHIFT_KEY, VK_A, Record);
    emulated::PressKey(VK_A);
    emulated::PressKey(0x11);
    Scan();
    EXPECT_TRUE(Fired().empty()) << "Shift is missing";
    emulated::PressKey(0x10);
    emulated::PressKey(0x12);  // Alt is not named; holding it changes nothing
    Scan();
    EXPECT_EQ(Fired().size(), 1u);
}

TEST_F(TableTest, CtrlAFiresWhenCtrlAndATappedOneAfterTheOther) {
    AppendHotkey(1, MOD_CONTROL_KEY, VK_A, Record);
    ResetKeyStates();
    emulated::TapKey(0x11);
    emulated::TapKey(VK_A);
    Scan();
    EXPECT_EQ(Fired().size(), 1u);
}

TEST_F(TableTest, TheComboTestStopsSamplingAtTheFirstKeyUp) {
    AppendHotkey(1, MOD_CONTROL_KEY | MOD_ALT_KEY, VK_A, Record);
    emulated::PressKey(VK_A);
    ScanHotkeys();
    EXPECT_EQ(emulated::KeyQueries(0x11), 1u);
    EXPECT_EQ(emulated::KeyQueries(0x12), 0u) << "Alt is sampled although Ctrl was up";
}

void ThrowOnFirst(int32_t id) {
    Record(id);
    if (id == 1) throw std::runtime_error("callback failure");
}

TEST_F(TableTest, AThrowingCallbackEndsThePassAndLeavesItsEntryArmed) {
    AppendHotkey(1, 0, VK_A, ThrowOnFirst);
    AppendHotkey(2, 0, VK_B, ThrowOnFirst);
    emulated::PressKey(VK_A);
    emulated::PressKey(VK_B);
    EXPECT_THROW(ScanHotkeys(), std::runtime_error);
    EXPECT_EQ(HotkeyTable[0].pressed, 0);
    EXPECT_EQ(HotkeyTable[1].pressed, 0);
    EXPECT_EQ(emulated::KeyQueries(VK_B), 0u) << "entries after the throwing one were examined";
    EXPECT_EQ(Fired(), (std::vector<int32_t>{1}));
}

}  // namespace
