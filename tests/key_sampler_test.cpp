#include "test_support.h"

namespace {

using namespace testing_support;
using SamplerTest = TableTest;

constexpr uint16_t VK_A = 0x41;
constexpr uint16_t VK_B = 0x42;
constexpr uint16_t VK_C = 0x43;

TEST_F(SamplerTest, TapBetweenCyclesIsDownOnceThenUp) {
    ResetKeyStates();
    emulated::TapKey(VK_A);
    EXPECT_TRUE(IsKeyDown(VK_A));
    ResetKeyStates();
    EXPECT_FALSE(IsKeyDown(VK_A));
}

TEST_F(SamplerTest, HeldKeyIsDownInEveryCycle) {
    emulated::PressKey(VK_A);
    for (int cycle = 0; cycle < 3; ++cycle) {
        ResetKeyStates();
        EXPECT_TRUE(IsKeyDown(VK_A)) << "cycle " << cycle;
    }
}

TEST_F(SamplerTest, SecondQueryInACycleIsAnsweredFromTheCache) {
    ResetKeyStates();
    emulated::PressKey(VK_A);
    const uint32_t before = emulated::KeyQueries(VK_A);
    EXPECT_TRUE(IsKeyDown(VK_A));
    emulated::ReleaseKey(VK_A);
    EXPECT_TRUE(IsKeyDown(VK_A));
    EXPECT_EQ(emulated::KeyQueries(VK_A), before + 1);
    EXPECT_EQ(KeyStates[VK_A], KEY_DOWN);

    EXPECT_FALSE(IsKeyDown(VK_B));
    emulated::PressKey(VK_B);
    EXPECT_FALSE(IsKeyDown(VK_B)) << "an up sample holds for the whole cycle";
}

// Windows never reports such a code down; the engine still asks afresh each
// time rather than cache the answer.
TEST_F(SamplerTest, CodesAbove255AreAskedEveryTimeAndNeverDown) {
    constexpr uint16_t VK_WIDE = 0x1234;
    ResetKeyStates();
    emulated::TapKey(VK_WIDE);
    EXPECT_FALSE(IsKeyDown(VK_WIDE));
    emulated::PressKey(VK_WIDE);
    EXPECT_FALSE(IsKeyDown(VK_WIDE));
    EXPECT_FALSE(IsKeyDown(VK_WIDE));
    EXPECT_EQ(emulated::KeyQueries(VK_WIDE), 3u);
}

TEST_F(SamplerTest, KeysTappedOneAfterAnotherAreAllDown) {
    ResetKeyStates();
    for (uint16_t vk : {VK_A, VK_B, VK_C}) emulated::TapKey(vk);
    for (uint16_t vk : {VK_A, VK_B, VK_C}) EXPECT_TRUE(IsKeyDown(vk)) << vk;
}

TEST_F(SamplerTest, ResetForgetsSamplesAndClearsEveryPressedSinceBit) {
    emulated::TapKey(VK_A);
    emulated::TapKey(0xFF);
    std::memset(KeyStates, KEY_UP, sizeof KeyStates);
    const uint64_t before = emulated::TotalKeyQueries();
    ResetKeyStates();
    EXPECT_EQ(emulated::TotalKeyQueries(), before + 256);
    for (int vk = 0; vk < 256; ++vk) ASSERT_EQ(KeyStates[vk], KEY_UNSAMPLED) << vk;
    EXPECT_FALSE(IsKeyDown(VK_A));
    EXPECT_FALSE(IsKeyDown(0xFF));
}

}  // namespace
