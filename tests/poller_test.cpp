#include <stdexcept>
#include <thread>

#include "test_support.h"

namespace {

using namespace testing_support;

constexpr uint16_t VK_A = 0x41;
constexpr uint16_t VK_B = 0x42;

TEST_F(PollerTest, RunsFromStartUpOnAnEmptyTable) {
    ASSERT_NE(PollerThread, nullptr);
    ASSERT_NE(PollerLock, nullptr);
    EXPECT_EQ(emulated::ThreadWaitName(PollerThread), "SleepEx");
    const uint64_t queries = emulated::TotalKeyQueries();
    const uint64_t now = emulated::Now();
    Cycle();
    EXPECT_EQ(emulated::Now(), now + POLL_INTERVAL_MS);
    EXPECT_EQ(emulated::TotalKeyQueries(), queries + 256) << "an empty scan samples nothing";
    EXPECT_EQ(emulated::ThreadWaitName(PollerThread), "SleepEx");
}

std::thread::id CallbackThread;
void RecordThread(int32_t id) {
    CallbackThread = std::this_thread::get_id();
    Record(id);
}

TEST_F(PollerTest, CallbacksRunOnTheWorkerOncePerPress) {
    ASSERT_TRUE(AddHotkey(7, 0, VK_A, RecordThread));
    emulated::PressKey(VK_A);
    Cycles(3);
    EXPECT_EQ(Fired(), (std::vector<int32_t>{7}));
    EXPECT_NE(CallbackThread, std::this_thread::get_id());
    emulated::ReleaseKey(VK_A);
    Cycle();
    emulated::TapKey(VK_A);
    Cycle();
    EXPECT_EQ(Fired(), (std::vector<int32_t>{7, 7}));
}

TEST_F(PollerTest, TheLastRemovalStopsTheWorkerAtOnceAndTheNextAddStartsANewOne) {
    const int threads = emulated::LiveThreadCount();
    const int handles = emulated::OpenHandleCount();
    for (int32_t id = 1; id <= 4; ++id) ASSERT_TRUE(AddHotkey(id, 0, static_cast<uint16_t>(VK_A + id), Record));
    const platform::THandle first = PollerThread;
    for (int32_t id = 1; id <= 3; ++id) {
        ASSERT_TRUE(RemoveHotkey(id));
        EXPECT_EQ(PollerThread, first);
        EXPECT_EQ(emulated::LiveThreadCount(), threads);
    }
    // The worker is woken out of its wait: with the clock standing still, a
    // stop that waited for the next cycle would deadlock here.
    const uint64_t now = emulated::Now();
    ASSERT_TRUE(RemoveHotkey(4));
    EXPECT_EQ(emulated::Now(), now);
    EXPECT_EQ(PollerThread, nullptr);
    EXPECT_EQ(PollerLock, nullptr);
    EXPECT_EQ(emulated::LiveThreadCount(), threads - 1);
    EXPECT_EQ(emulated::OpenHandleCount(), handles - 3) << "thread handle and both events";

    EXPECT_FALSE(RemoveHotkey(4));
    EXPECT_EQ(PollerLock, nullptr);

    ASSERT_TRUE(AddHotkey(9, 0, VK_B, Record));
    EXPECT_NE(PollerThread, nullptr);
    EXPECT_NE(PollerLock, nullptr);
    EXPECT_EQ(emulated::LiveThreadCount(), threads);
    Settle();
    emulated::PressKey(VK_B);
    Cycle();
    EXPECT_EQ(Fired(), (std::vector<int32_t>{9}));
}

TEST_F(PollerTest, ARemovalThatFindsNothingStillStopsAWorkerOnAnEmptyTable) {
    EXPECT_FALSE(RemoveHotkey(123));
    EXPECT_EQ(PollerThread, nullptr);
    EXPECT_EQ(PollerLock, nullptr);
}

class RestartTest : public TableTest {};

TEST_F(RestartTest, AKeyPressedWhileNoWorkerRanFiresInTheFirstScan) {
    emulated::TapKey(VK_A);
    ASSERT_TRUE(AddHotkey(1, 0, VK_A, Record));
    Settle();
    EXPECT_EQ(Fired(), (std::vector<int32_t>{1}));
}

TEST_F(RestartTest, ACacheByteLeftDownFiresWithoutAQuery) {
    KeyStates[VK_A] = KEY_DOWN;
    ASSERT_TRUE(AddHotkey(1, 0, VK_A, Record));
    Settle();
    EXPECT_EQ(Fired(), (std::vector<int32_t>{1}));
    EXPECT_EQ(emulated::KeyQueries(VK_A), 1u) << "only the reset may have asked";
}

TEST_F(RestartTest, ACacheByteLeftUpHidesAPressForOneScan) {
    KeyStates[VK_A] = KEY_UP;
    emulated::PressKey(VK_A);
    ASSERT_TRUE(AddHotkey(1, 0, VK_A, Record));
    Settle();
    EXPECT_TRUE(Fired().empty());
    Cycle();
    EXPECT_EQ(Fired(), (std::vector<int32_t>{1}));
}

TEST_F(RestartTest, AFailedThreadCreationIsRetriedByTheNextAdd) {
    const int handles = emulated::OpenHandleCount();
    emulated::InjectFault(emulated::FAULT_CREATE_THREAD, 1, 1);
    ASSERT_TRUE(AddHotkey(1, 0, VK_A, Record));
    EXPECT_EQ(PollerThread, nullptr);
    ASSERT_NE(PollerLock, nullptr);
    TCriticalSection* const lock = PollerLock;

    ASSERT_TRUE(AddHotkey(2, 0, VK_B, Record));
    ASSERT_NE(PollerThread, nullptr);
    EXPECT_EQ(PollerLock, lock) << "the earlier lock must be used, not leaked";
    EXPECT_EQ(emulated::OpenHandleCount(), handles + 3);
    Settle();
    emulated::PressKey(VK_A);
    emulated::PressKey(VK_B);
    Cycle();
    EXPECT_EQ(Fired(), (std::vector<int32_t>{1, 2}));
}

TEST_F(RestartTest, AFailedEventCreationLeavesNothingBehind) {
    const int handles = emulated::OpenHandleCount();
    emulated::InjectFault(emulated::FAULT_CREATE_EVENT, 1, 1);
    EXPECT_FALSE(AddHotkey(1, 0, VK_A, Record));
    EXPECT_EQ(PollerLock, nullptr);
    EXPECT_EQ(PollerThread, nullptr);
    EXPECT_EQ(HotkeyLast, -1);
    EXPECT_EQ(emulated::OpenHandleCount(), handles);
    EXPECT_FALSE(RemoveHotkey(1));

    ASSERT_TRUE(AddHotkey(1, 0, VK_A, Record));
    Settle();
    emulated::PressKey(VK_A);
    Cycle();
    EXPECT_EQ(Fired(), (std::vector<int32_t>{1}));
}

void AlwaysThrow(int32_t id) {
    Record(id);
    throw std::runtime_error("callback failure");
}

TEST_F(PollerTest, AThrowingCallbackNeverEndsTheWorker) {
    ASSERT_TRUE(AddHotkey(1, 0, VK_A, AlwaysThrow));
    ASSERT_TRUE(AddHotkey(2, 0, VK_B, Record));
    emulated::PressKey(VK_A);
    emulated::PressKey(VK_B);
    const uint64_t start = emulated::Now();
    Cycles(5);
    EXPECT_EQ(emulated::Now(), start + 5 * POLL_INTERVAL_MS);
    EXPECT_EQ(Fired(), (std::vector<int32_t>{1, 1, 1, 1, 1})) << "entry 2 must wait";
    emulated::ReleaseKey(VK_A);
    Cycle();
    EXPECT_EQ(Fired().back(), 2);
    EXPECT_EQ(emulated::ThreadWaitName(PollerThread), "SleepEx");
}

// The last removal's stop, its exit refused: the worker still leaves at its
// next cycle, by the flag, and the removal waits for it.
TEST_F(PollerTest, AStopWhoseExitCannotBeQueuedEndsTheWorkerAtItsNextCycle) {
    ASSERT_TRUE(AddHotkey(1, 0, VK_A, Record));
    Settle();
    const int threads = emulated::LiveThreadCount();
    emulated::InjectFault(emulated::FAULT_QUEUE_USER_APC, 1);
    emulated::SetAutoClock(true);
    EXPECT_TRUE(RemoveHotkey(1));
    emulated::SetAutoClock(false);
    EXPECT_EQ(PollerThread, nullptr);
    EXPECT_EQ(emulated::LiveThreadCount(), threads - 1);
}

}  // namespace
