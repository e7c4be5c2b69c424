// The player calls the plug-in from inside its handler of the plug-in's own
// command: the worker's send waits for that very handler, one frame up the
// player's stack. Every call completes, what it reports holds afterwards,
// and a worker stopped there sends nothing more and leaves on its own.
#include "plugin_fixture.h"

namespace {

using namespace plugin_fixture;

// Threads and handles against the machine before the library was loaded.
struct TCounts {
    int Threads;
    int Handles;
};

class HandlerTest : public PluginTest {
protected:
    void SetUp() override {
        UnloadModule();
        Before = {emulated::LiveThreadCount(), emulated::OpenHandleCount()};
        PluginTest::SetUp();
        Plugin = Bind();
    }

    // Runs `body` in the handler of the first shortcut only.
    void InTheFirstHandler(std::function<void()> body) {
        OnShortcut = [this, body = std::move(body)](uintptr_t, intptr_t) {
            if (Shortcuts.size() == 1) body();
            return intptr_t{0};
        };
    }

    void Unload() {
        emulated::FreeLibrary(LibraryEntry);
        Loaded = false;
    }

    TCounts LeftAfterUnload() {
        if (Loaded) Unload();
        Settle();
        return {emulated::LiveThreadCount() - Before.Threads, emulated::OpenHandleCount() - Before.Handles};
    }

    void Free() { Plugin->FreeInstance(reinterpret_cast<void*>(1)); }

    TPluginDescriptor* Plugin = nullptr;
    TCounts Before{};
};

// Stop and Next in one cycle: Stop's handler frees the only instance, so
// Next, later in the same pass, must not fire. While the handler goes on
// (keys pressed, time passing), nothing is sampled or sent; once it returns
// the worker leaves by itself, and the unload finds nothing.
TEST_F(HandlerTest, FreeingTheOnlyInstanceEndsEverythingAtOnce) {
    Plugin->CreateInstance();
    uint64_t queriesAfterFree = 0;
    InTheFirstHandler([&] {
        Free();
        EXPECT_EQ(HotkeyLast, -1);
        EXPECT_EQ(PollerThread, nullptr);
        EXPECT_EQ(PollerLock, nullptr);
        queriesAfterFree = emulated::TotalKeyQueries();
        emulated::TapKey(VK_PLAY);
        EXPECT_FALSE(emulated::AdvanceToNextDeadline()) << "a worker still cycles";
    });
    emulated::TapKey(VK_NEXT);
    emulated::TapKey(VK_STOP);
    ASSERT_TRUE(PumpCycle());
    EXPECT_EQ(Shortcuts, (std::vector<uintptr_t>{81}));
    EXPECT_EQ(emulated::TotalKeyQueries(), queriesAfterFree) << "the worker let go sampled keys";
    EXPECT_EQ(emulated::LiveThreadCount(), Before.Threads) << "the worker let go did not leave";
    EXPECT_EQ(Poller.SendsInFlight, 0u);
    const TCounts left = LeftAfterUnload();
    EXPECT_EQ(left.Threads, 0);
    EXPECT_EQ(left.Handles, 0);
}

// A free outside any handler, while the worker's send is on its way (the
// lock lent, the message not yet queued here): the stop waits for it, so the
// command is handled before FreeInstance returns, and none after.
TEST_F(HandlerTest, AFreeOutsideAnyHandlerWaitsForASendOnItsWay) {
    Plugin->CreateInstance();
    emulated::GateNextCall("SendMessageA");
    emulated::TapKey(VK_PLAY);
    ASSERT_TRUE(emulated::AdvanceToNextDeadline());
    Settle();
    ASSERT_EQ(emulated::ThreadWaitName(PollerThread), "SendMessageA (gated)");
    emulated::OpenGateWhenBlockedIn("WaitForObjectsOrSentMessage");
    Free();
    EXPECT_EQ(Shortcuts, (std::vector<uintptr_t>{80})) << "the command on its way was not handled in FreeInstance";
    PumpAndSettle();
    EXPECT_EQ(Shortcuts, (std::vector<uintptr_t>{80}));
    EXPECT_EQ(emulated::LiveThreadCount(), Before.Threads);
}

// Freed in the handler of Play, created again later: the new worker's
// first scan must not take the stopped worker's sample of that press for a
// new one.
TEST_F(HandlerTest, ACreateAfterAFreeInTheHandlerDoesNotReplayThePress) {
    Plugin->CreateInstance();
    InTheFirstHandler([&] { Free(); });
    Tap(VK_PLAY);
    Plugin->CreateInstance();
    ASSERT_TRUE(PumpCycle());
    EXPECT_EQ(Shortcuts, (std::vector<uintptr_t>{80}));
}

// Two instances: the handler of the first one's Play frees one instance
// (the lower four slots). The other's Play, further on in the same pass,
// still fires for this press, and later presses fire once each.
TEST_F(HandlerTest, FreeingOneOfTwoInstancesLeavesTheOtherFiringOncePerPress) {
    Plugin->CreateInstance();
    Plugin->CreateInstance();
    InTheFirstHandler([&] { Free(); });
    Tap(VK_PLAY);
    EXPECT_EQ(Shortcuts, (std::vector<uintptr_t>{80, 80}));
    ASSERT_EQ(HotkeyLast, 3);
    EXPECT_NE(PollerThread, nullptr);
    EXPECT_EQ(emulated::LiveThreadCount(), Before.Threads + 1);
    Tap(VK_NEXT);
    Tap(VK_PLAY);
    EXPECT_EQ(Shortcuts, (std::vector<uintptr_t>{80, 80, 128, 80}));
}

// A second instance made while Play is handled starts as fired: Play held
// on fires nothing more, and later presses fire once per instance.
TEST_F(HandlerTest, AnInstanceCreatedInTheHandlerFiresFromTheNextPress) {
    Plugin->CreateInstance();
    InTheFirstHandler([&] { EXPECT_EQ(Plugin->CreateInstance(), reinterpret_cast<void*>(1)); });
    emulated::PressKey(VK_PLAY);
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(PumpCycle());
    EXPECT_EQ(Shortcuts, (std::vector<uintptr_t>{80}));
    EXPECT_EQ(HotkeyLast, 7);
    emulated::ReleaseKey(VK_PLAY);
    ASSERT_TRUE(PumpCycle());
    Tap(VK_PLAY);
    Tap(VK_PREV);
    EXPECT_EQ(Shortcuts, (std::vector<uintptr_t>{80, 80, 80, 129, 129}));
}

// Only the key under way: another key of the new instance, pressed before
// any scan has seen it up, fires at once.
TEST_F(HandlerTest, AnInstanceCreatedInTheHandlerFiresOtherKeysAtOnce) {
    Plugin->CreateInstance();
    InTheFirstHandler([&] { Plugin->CreateInstance(); });
    Tap(VK_PLAY);
    emulated::TapKey(VK_NEXT);
    ASSERT_TRUE(PumpCycle());
    EXPECT_EQ(Shortcuts, (std::vector<uintptr_t>{80, 128, 128}));
}

// Free and create again in one handler: the old worker is let go, a new one
// runs, and the press being handled does not fire the new instance (the
// old worker's key sample for it is still in the cache).
TEST_F(HandlerTest, FreeAndCreateInOneHandlerLeavesOneWorkerAndFiresNothingTwice) {
    Plugin->CreateInstance();
    InTheFirstHandler([&] {
        Free();
        Plugin->CreateInstance();
    });
    emulated::PressKey(VK_PLAY);
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(PumpCycle());
    EXPECT_EQ(Shortcuts, (std::vector<uintptr_t>{80}));
    EXPECT_EQ(emulated::LiveThreadCount(), Before.Threads + 1) << "exactly the new worker";
    emulated::ReleaseKey(VK_PLAY);
    ASSERT_TRUE(PumpCycle());
    Tap(VK_NEXT);
    EXPECT_EQ(Shortcuts, (std::vector<uintptr_t>{80, 128}));
    const TCounts left = LeftAfterUnload();
    EXPECT_EQ(left.Threads, 0);
    EXPECT_EQ(left.Handles, 0);
}

// The handler runs a modal loop (an error box, a dialog); a control of the
// player's there frees and creates the instance, and the new worker's next
// command is handled inside that same loop.
TEST_F(HandlerTest, FreeAndCreateFromAModalLoopInTheHandler) {
    Plugin->CreateInstance();
    TReentrantHandler dialog;
    InTheFirstHandler([&] {
        dialog.RunInTheNextWait([&] {
            Free();
            Plugin->CreateInstance();
        });
        platform::WaitForObjectsOrSentMessage(0, nullptr, platform::WAIT_FOREVER);
        // The new entries began as fired; a cycle without the key re-arms them.
        PumpAndSettle();
        ASSERT_TRUE(emulated::AdvanceToNextDeadline());
        emulated::PressKey(VK_NEXT);
        while (Shortcuts.size() < 2) {
            PumpAndSettle();
            if (Shortcuts.size() < 2) {
                ASSERT_TRUE(emulated::AdvanceToNextDeadline());
            }
        }
        emulated::ReleaseKey(VK_NEXT);
    });
    Tap(VK_PLAY);
    EXPECT_EQ(dialog.Runs, 1);
    EXPECT_EQ(Shortcuts, (std::vector<uintptr_t>{80, 128}));
    Tap(VK_STOP);
    EXPECT_EQ(Shortcuts, (std::vector<uintptr_t>{80, 128, 81}));
    EXPECT_EQ(emulated::LiveThreadCount(), Before.Threads + 1);
}

// The player unloads the library from inside the handler, after freeing:
// the worker is still in its send to this thread, and would return into the
// unloaded image once the handler returns (the emulated Windows fails the
// run if it does). It stays suspended for good, and holds nothing else.
TEST_F(HandlerTest, AnUnloadInTheHandlerAfterFreeingLeavesOnlyTheSuspendedWorker) {
    Plugin->CreateInstance();
    InTheFirstHandler([&] {
        Free();
        Unload();
    });
    Tap(VK_PLAY);
    EXPECT_EQ(Shortcuts, (std::vector<uintptr_t>{80}));
    const TCounts left = LeftAfterUnload();
    EXPECT_EQ(left.Threads, 1);
    EXPECT_EQ(left.Handles, 0);
}

// Refused by the emulated Windows: the let-go worker's exit at the stop
// (it then returns from its routine once its send is over), and its
// suspension at the unload (it is then ended where it waits, in its send).
TEST_F(HandlerTest, AStopInTheHandlerWhoseExitCannotBeQueuedStillEndsTheWorker) {
    Plugin->CreateInstance();
    InTheFirstHandler([&] {
        emulated::InjectFault(emulated::FAULT_QUEUE_USER_APC, 1, 2);
        Free();
    });
    Tap(VK_PLAY);
    Settle();
    EXPECT_EQ(emulated::LiveThreadCount(), Before.Threads);
    const TCounts left = LeftAfterUnload();
    EXPECT_EQ(left.Threads, 0);
    EXPECT_EQ(left.Handles, 0);
}

TEST_F(HandlerTest, AnUnloadInTheHandlerWhoseSuspensionIsRefusedEndsTheWorkerInItsSend) {
    Plugin->CreateInstance();
    InTheFirstHandler([&] {
        Free();
        emulated::InjectFault(emulated::FAULT_SUSPEND_THREAD);
        Unload();
    });
    Tap(VK_PLAY);
    const TCounts left = LeftAfterUnload();
    EXPECT_EQ(left.Threads, 0);
    EXPECT_EQ(left.Handles, 0);
}

// --- The general module: a callback that sends through
// SendMessageFromCallback, and a handler that changes the table under the
// pass that is waiting for it.

constexpr uint16_t VK_A = 0x41, VK_B = 0x42, VK_C = 0x43;
platform::TWindow Target;
void SendToTarget(int32_t id) {
    Record(id);
    SendMessageFromCallback(Target, 0x8002, static_cast<uintptr_t>(id), 0);
}

class PassTest : public PollerTest {
protected:
    void SetUp() override {
        PollerTest::SetUp();
        Target = emulated::CreateWindowForThisThread([this](uint32_t, uintptr_t, intptr_t) {
            if (Handler) std::exchange(Handler, nullptr)();
            return intptr_t{0};
        });
    }
    void TearDown() override {
        emulated::DestroyWindow(Target);
        PollerTest::TearDown();
    }
    std::function<void()> Handler;
};

// Its own entry and the one after it removed, one before it added: the pass
// goes on with the entries that are left, each visited once, and the new
// entry lies beyond it.
TEST_F(PassTest, RemovalsInTheHandlerAreFollowedByTheRestOfThePass) {
    ASSERT_TRUE(AddHotkey(1, 0, VK_A, Record));
    ASSERT_TRUE(AddHotkey(2, 0, VK_B, SendToTarget));
    ASSERT_TRUE(AddHotkey(3, 0, VK_C, Record));
    ASSERT_TRUE(AddHotkey(4, 0, VK_A, Record));
    Handler = [] {
        EXPECT_TRUE(RemoveHotkey(3));
        EXPECT_TRUE(RemoveHotkey(1));
        EXPECT_TRUE(RemoveHotkey(2));
        EXPECT_TRUE(AddHotkey(5, 0, VK_C, Record));
    };
    for (uint16_t vk : {VK_A, VK_B, VK_C}) emulated::TapKey(vk);
    ASSERT_TRUE(PumpCycle());
    EXPECT_EQ(Fired(), (std::vector<int32_t>{1, 2, 4}));
    ASSERT_EQ(HotkeyLast, 1);
    EXPECT_EQ(HotkeyTable[0].id, 4);
    EXPECT_EQ(HotkeyTable[0].pressed, 1) << "the entry fired in the pass is not marked fired";
    EXPECT_EQ(HotkeyTable[1].id, 5);
    EXPECT_EQ(HotkeyTable[1].pressed, 0) << "added before the pass sampled its key, it starts armed";
    ASSERT_TRUE(PumpCycle());  // re-arms entry 4
    Fired().clear();
    for (uint16_t vk : {VK_A, VK_C}) emulated::TapKey(vk);
    ASSERT_TRUE(PumpCycle());
    EXPECT_EQ(Fired(), (std::vector<int32_t>{4, 5}));
}

// The last removal in the handler: the worker is let go, and when its send
// returns it runs nothing more, not even the callback after it.
TEST_F(PassTest, TheLastRemovalInTheHandlerLetsTheWorkerGo) {
    const int threads = emulated::LiveThreadCount();
    ASSERT_TRUE(AddHotkey(1, 0, VK_A, SendToTarget));
    ASSERT_TRUE(AddHotkey(2, 0, VK_A, Record));
    Handler = [] {
        EXPECT_TRUE(RemoveHotkey(1));
        EXPECT_TRUE(RemoveHotkey(2));
        EXPECT_EQ(PollerThread, nullptr);
    };
    emulated::TapKey(VK_A);
    ASSERT_TRUE(PumpCycle());
    EXPECT_EQ(Fired(), (std::vector<int32_t>{1}));
    EXPECT_EQ(emulated::LiveThreadCount(), threads - 1);
}

// A plain SendMessage from a callback keeps the lock for the send: a handler
// that registers then waits for it for ever, which the emulated Windows
// reports as a deadlock. The rule in global_hotkeys.h stays for it.
void SendPlainly(int32_t) { platform::SendMessageA(Target, 0x8002, 0, 0); }

using PassDeathTest = PassTest;
TEST_F(PassDeathTest, APlainSendWhoseHandlerRegistersDeadlocks) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            ASSERT_TRUE(AddHotkey(1, 0, VK_A, SendPlainly));
            Handler = [] { AddHotkey(2, 0, VK_B, Record); };
            emulated::TapKey(VK_A);
            PumpCycle();
        },
        "deadlock");
}

}  // namespace


