// While the registering thread waits for the worker (for the lock, or for a
// stopping worker to end), it handles every message other threads send to
// its windows, so a host's window procedure may call the engine from inside
// AddHotkey or RemoveHotkey. Whatever such a nested call does, afterwards
// the state is what the calls reported: stored entries fire once per press
// with exactly one worker running, removed ones are gone, nothing crashed and
// no handle was used after it was closed (the emulator hands closed handle
// values out again, as Windows does).
#include <utility>

#include "test_support.h"

namespace {

using namespace testing_support;

constexpr uint16_t VK_A = 0x41, VK_B = 0x42, VK_C = 0x43;
constexpr uint16_t VK_UNREGISTERED = 0xFF;  // queried only by the key reset

class ReentryTest : public PollerTest {
protected:
    // The table holds exactly `entries` (id, key), in order; each fires once
    // per press, from a running worker, the only one.
    void ExpectLiveExactly(const std::vector<std::pair<int32_t, uint16_t>>& entries) {
        ASSERT_EQ(HotkeyLast + 1, static_cast<int32_t>(entries.size()));
        for (size_t i = 0; i < entries.size(); ++i) EXPECT_EQ(HotkeyTable[i].id, entries[i].first);
        if (entries.empty()) {
            EXPECT_EQ(PollerThread, nullptr);
            EXPECT_EQ(PollerLock, nullptr);
            EXPECT_EQ(emulated::LiveThreadCount(), ThreadsBefore);
            return;
        }
        ASSERT_NE(PollerThread, nullptr) << "entries were stored, but no worker runs";
        EXPECT_EQ(emulated::LiveThreadCount(), ThreadsBefore + 1);
        Settle();
        Fired().clear();
        std::vector<int32_t> expected;
        for (const auto& [id, vk] : entries) {
            emulated::TapKey(vk);
            expected.push_back(id);
        }
        Cycles(2);
        EXPECT_EQ(Fired(), expected);
    }

    TReentrantHandler Handler;
};

// The outer call waits for the lock while the worker holds it; a handler
// removes the last entry, which stops the worker and frees that lock.
TEST_F(ReentryTest, AStopDuringTheLockWaitSendsTheOuterCallBackToItsStart) {
    ASSERT_TRUE(AddHotkey(1, 0, VK_A, Record));
    HoldPollerAt(VK_A);
    Handler.RunInTheNextWait([] {
        emulated::OpenGate();
        EXPECT_TRUE(RemoveHotkey(1));
    });
    EXPECT_TRUE(AddHotkey(2, 0, VK_B, Record));
    EXPECT_EQ(Handler.Runs, 1);
    ExpectLiveExactly({{2, VK_B}});

    // A handler that waits for the lock too takes the worker's signal that
    // the outer wait was counting on.
    HoldPollerAt(VK_B);
    Handler.RunInTheNextWait([] {
        emulated::OpenGateWhenBlockedIn("WaitForObjectsOrSentMessage");
        EXPECT_TRUE(AddHotkey(3, 0, VK_C, Record));
    });
    EXPECT_TRUE(AddHotkey(4, 0, VK_A, Record));
    ExpectLiveExactly({{2, VK_B}, {3, VK_C}, {4, VK_A}});
    ASSERT_TRUE(RemoveHotkey(3));
    ASSERT_TRUE(RemoveHotkey(4));

    // The same for a removal: the entry it came for is already gone.
    HoldPollerAt(VK_B);
    Handler.RunInTheNextWait([] {
        emulated::OpenGate();
        EXPECT_TRUE(RemoveHotkey(2));
    });
    EXPECT_FALSE(RemoveHotkey(2));
    EXPECT_EQ(Handler.Runs, 3);
    ExpectLiveExactly({});

    // And when the handler starts a new worker straight away, its lock and
    // handles may take the old ones' addresses and values.
    ASSERT_TRUE(AddHotkey(1, 0, VK_A, Record));
    HoldPollerAt(VK_A);
    Handler.RunInTheNextWait([] {
        emulated::OpenGate();
        EXPECT_TRUE(RemoveHotkey(1));
        EXPECT_TRUE(AddHotkey(3, 0, VK_C, Record));
    });
    EXPECT_TRUE(AddHotkey(2, 0, VK_B, Record));
    ExpectLiveExactly({{3, VK_C}, {2, VK_B}});
}

// The last removal waits for the stopping worker (held in its key reset); a
// handler adds an entry meanwhile: it must get a worker.
TEST_F(ReentryTest, AnEntryAddedDuringTheLastRemovalsStopIsLive) {
    ASSERT_TRUE(AddHotkey(1, 0, VK_A, Record));
    HoldPollerAt(VK_UNREGISTERED);
    Handler.RunInTheNextWait([] {
        EXPECT_TRUE(AddHotkey(2, 0, VK_B, Record));
        emulated::OpenGate();
    });
    EXPECT_TRUE(RemoveHotkey(1));
    EXPECT_EQ(Handler.Runs, 1);
    ExpectLiveExactly({{2, VK_B}});
    EXPECT_TRUE(RemoveHotkey(2));
    ExpectLiveExactly({});
}

// A handler run during the stop removes what it added (a nested stop, which
// must leave the outer one alone) and adds again.
TEST_F(ReentryTest, ARemoveAndAddDuringTheLastRemovalsStopLeavesOneLiveWorker) {
    ASSERT_TRUE(AddHotkey(1, 0, VK_A, Record));
    HoldPollerAt(VK_UNREGISTERED);
    Handler.RunInTheNextWait([] {
        EXPECT_TRUE(AddHotkey(2, 0, VK_B, Record));
        emulated::OpenGate();
        EXPECT_TRUE(RemoveHotkey(2));
        EXPECT_TRUE(AddHotkey(3, 0, VK_C, Record));
    });
    EXPECT_TRUE(RemoveHotkey(1));
    ExpectLiveExactly({{3, VK_C}});
    EXPECT_FALSE(RemoveHotkey(2));
    EXPECT_TRUE(RemoveHotkey(3));
    ExpectLiveExactly({});
}

}  // namespace
