// A callback that sends synchronously to a window of the registering thread
// holds PollerLock while it waits for that thread. These are the moments
// when the registering thread comes for the lock or stops the worker; each
// must complete without the test pumping messages itself. If the waits did
// not handle sent messages, the emulator would find both threads blocked and
// abort the test at once.
#include "test_support.h"

namespace {

using namespace testing_support;

constexpr uint16_t VK_A = 0x41;
constexpr uint32_t SHORTCUT = 0x041A;

platform::TWindow HostWindow;
void SendToHost(int32_t id) {
    Record(id);
    platform::SendMessageA(HostWindow, SHORTCUT, static_cast<uintptr_t>(id), 0);
}

class PendingSendTest : public PollerTest {
protected:
    void SetUp() override {
        PollerTest::SetUp();
        HostWindow = emulated::CreateWindowForThisThread([this](uint32_t message, uintptr_t wParam, intptr_t) {
            if (message == SHORTCUT) Handled.push_back(static_cast<int32_t>(wParam));
            return intptr_t{0};
        });
    }
    void TearDown() override {
        emulated::DestroyWindow(HostWindow);
        PollerTest::TearDown();
    }

    // Leaves the worker inside the callback's send, holding the lock.
    void PressAndLeaveTheSendPending() {
        emulated::PressKey(VK_A);
        Cycle();
        ASSERT_EQ(emulated::ThreadWaitName(PollerThread), "SendMessageA");
        ASSERT_EQ(emulated::PendingSentMessages(), 1);
    }

    std::vector<int32_t> Handled;
};

TEST_F(PendingSendTest, RemovingTheLastRegistrationCompletesAndStopsTheWorker) {
    const int threads = emulated::LiveThreadCount();
    ASSERT_TRUE(AddHotkey(1, 0, VK_A, SendToHost));
    PressAndLeaveTheSendPending();
    EXPECT_TRUE(RemoveHotkey(1));
    EXPECT_EQ(Handled, (std::vector<int32_t>{1}));
    EXPECT_EQ(PollerThread, nullptr);
    EXPECT_EQ(emulated::LiveThreadCount(), threads - 1);
}

TEST_F(PendingSendTest, RemovingOneOfSeveralCompletesAndTheWorkerGoesOn) {
    ASSERT_TRUE(AddHotkey(1, 0, VK_A, SendToHost));
    ASSERT_TRUE(AddHotkey(2, 0, VK_A, SendToHost));
    PressAndLeaveTheSendPending();
    // The scan under way still has entry 2 to fire, and its send waits for
    // this thread too; the removal handles both before it gets the lock.
    EXPECT_TRUE(RemoveHotkey(1));
    EXPECT_EQ(Handled, (std::vector<int32_t>{1, 2}));
    ASSERT_EQ(HotkeyLast, 0);
    EXPECT_EQ(HotkeyTable[0].id, 2);
    Settle();
    EXPECT_EQ(emulated::ThreadWaitName(PollerThread), "SleepEx");
}

TEST_F(PendingSendTest, AddingWhileTheSendIsPendingCompletes) {
    ASSERT_TRUE(AddHotkey(1, 0, VK_A, SendToHost));
    PressAndLeaveTheSendPending();
    EXPECT_TRUE(AddHotkey(2, 0, VK_A, SendToHost));
    EXPECT_EQ(Handled, (std::vector<int32_t>{1}));
    Settle();
    EXPECT_EQ(emulated::ThreadWaitName(PollerThread), "SleepEx");
    // The new entry was appended after the pass had fixed its length.
    Cycle();
    ASSERT_EQ(emulated::PendingSentMessages(), 1);
    platform::HandleSentMessages();
    Settle();
    EXPECT_EQ(Handled, (std::vector<int32_t>{1, 2}));
    EXPECT_EQ(Fired(), (std::vector<int32_t>{1, 2}));
}

}  // namespace
