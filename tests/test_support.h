// Shared fixture for the hot-key engine's tests: a freshly loaded module on
// the emulated Windows, and helpers that step its worker cycle by cycle.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <vector>

#include "emulated_windows.h"
#include "global_hotkeys.h"
#include "hotkey_table.h"
#include "key_sampler.h"
#include "poller.h"

namespace testing_support {

using namespace global_hotkeys;

// What the recording callback saw, in order. Written on the worker, read by
// the test after WaitQuiescent (which orders the two through the emulator).
inline std::vector<int32_t>& Fired() {
    static std::vector<int32_t> fired;
    return fired;
}
inline void Record(int32_t id) { Fired().push_back(id); }

// Lets the worker finish whatever it can do without the clock.
inline void Settle() { emulated::WaitQuiescent(); }

// One worker cycle: wakes it from its timed wait and lets it scan, reset
// and park again.
inline void Cycle() {
    ASSERT_TRUE(emulated::AdvanceToNextDeadline()) << "no worker waiting for its next cycle";
    emulated::WaitQuiescent();
}

// Settle, handling what the worker sends to this thread's windows meanwhile,
// until only the clock could move it.
inline void PumpAndSettle() {
    for (Settle(); emulated::PendingSentMessages() > 0; Settle()) platform::HandleSentMessages();
}

// One cycle with this thread handling the worker's sends; false when no
// worker waits for a next cycle.
inline bool PumpCycle() {
    PumpAndSettle();
    if (!emulated::AdvanceToNextDeadline()) return false;
    PumpAndSettle();
    return true;
}

inline void Cycles(int count) {
    for (int i = 0; i < count; ++i) Cycle();
}

// Holds the worker at its next query of `vk`: inside its scan, holding the
// lock, for a registered key; in its key reset, holding nothing, otherwise.
inline void HoldPollerAt(uint16_t vk) {
    Settle();
    emulated::GateKeyQuery(vk);
    ASSERT_TRUE(emulated::AdvanceToNextDeadline());
    Settle();
    ASSERT_EQ(emulated::ThreadWaitName(PollerThread), "GetAsyncKeyState (gated)");
}

// A host's window procedure that calls the engine from inside one of the
// engine's waits on this thread: when this thread next blocks waiting for
// the worker, another thread's message reaches a window of this thread, and
// its handler runs `body` here, within the wait.
class TReentrantHandler {
public:
    static constexpr uint32_t MESSAGE = 0x8001;  // WM_APP + 1

    TReentrantHandler() {
        Window = emulated::CreateWindowForThisThread([this](uint32_t message, uintptr_t, intptr_t) {
            if (message == MESSAGE && Body) {
                const std::function<void()> body = std::move(Body);
                Body = nullptr;
                body();
                ++Runs;
            }
            return intptr_t{0};
        });
    }
    ~TReentrantHandler() { emulated::DestroyWindow(Window); }
    TReentrantHandler(const TReentrantHandler&) = delete;
    TReentrantHandler& operator=(const TReentrantHandler&) = delete;

    void RunInTheNextWait(std::function<void()> body) {
        Body = std::move(body);
        emulated::SendWhenBlockedIn("WaitForObjectsOrSentMessage", Window, MESSAGE);
    }

    int Runs = 0;

private:
    platform::TWindow Window = nullptr;
    std::function<void()> Body;
};

// Puts the module back in its just-loaded state (no worker, empty table,
// cleared cache) and the keyboard at rest.
inline void UnloadModule() {
    if (PollerThread != nullptr || PollerLock != nullptr) StopPoller();
    emulated::MapLibraryImage();
    ForgetModuleState();
    emulated::ResetKeyboard();
    Fired().clear();
    // Whatever an earlier test left ending has ended: counts start here.
    Settle();
}

// The table on its own, driven by the test thread: no worker.
class TableTest : public ::testing::Test {
protected:
    void SetUp() override { UnloadModule(); }
    void TearDown() override { UnloadModule(); }
};

// A loaded module whose worker has settled in its first wait.
class PollerTest : public ::testing::Test {
protected:
    void SetUp() override {
        UnloadModule();
        ThreadsBefore = emulated::LiveThreadCount();
        HotkeysStartup();
        Settle();
    }
    void TearDown() override { UnloadModule(); }
    // Threads an earlier test of this process left (suspended for good).
    int ThreadsBefore = 0;
};

}  // namespace testing_support
