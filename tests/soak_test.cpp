// Long runs: a free-running worker against a host thread that registers,
// removes and presses at random; a callback that throws in every cycle; and
// a host that calls the plug-in in any order.
#include <atomic>
#include <random>
#include <stdexcept>

#include "media_keys.h"
#include "plugin.h"
#include "test_support.h"

namespace {

using namespace testing_support;
using host_interface::THostTable;
using host_interface::TPluginDescriptor;

// --- Random registrations against a free-running worker.

constexpr int FIXED_KEYS = 4;
constexpr uint16_t FIXED_VK[FIXED_KEYS] = {0x41, 0x42, 0x43, 0x44};
std::atomic<int> FixedFires[FIXED_KEYS];
std::atomic<int> ChurnFires{0};

void CountFixed(int32_t id) { ++FixedFires[id]; }
void CountChurn(int32_t) { ++ChurnFires; }

class FreeRunningTest : public TableTest {
protected:
    void SetUp() override {
        TableTest::SetUp();
        emulated::SetAutoClock(true);
    }
    void TearDown() override {
        emulated::SetAutoClock(false);
        TableTest::TearDown();
    }
};

// Every tap of a key whose registration stays must fire exactly once. A key is
// tapped again only once its last tap has fired and two more cycles have
// re-armed its entry; in between, other registrations come and go and other
// keys change.
TEST_F(FreeRunningTest, RandomRegistrationsNeverLoseOrDoubleAFire) {
    const int operations = 100000;
    std::mt19937 random(42);
    auto pick = [&](int n) { return static_cast<int>(random() % static_cast<uint32_t>(n)); };
    for (int k = 0; k < FIXED_KEYS; ++k) {
        FixedFires[k] = 0;
        ASSERT_TRUE(AddHotkey(k, 0, FIXED_VK[k], CountFixed));
    }
    int taps[FIXED_KEYS] = {};
    uint64_t rearmedAt[FIXED_KEYS] = {};
    int seen[FIXED_KEYS] = {};
    uint64_t lastTapAt[FIXED_KEYS] = {};
    int churn = 0;
    for (int op = 0; op < operations; ++op) {
        const int what = pick(100);
        if (what < 20 && churn < 90) {
            ++churn;
            ASSERT_TRUE(AddHotkey(100 + pick(10), static_cast<uint16_t>(pick(8)),
                                  static_cast<uint16_t>(0x45 + pick(4)), CountChurn));
        } else if (what < 40) {
            if (RemoveHotkey(100 + pick(10))) --churn;
        } else if (what < 60) {
            const int vk = pick(2) == 0 ? 0x45 + pick(4) : 0x10 + pick(3);
            if (pick(2) == 0) {
                emulated::PressKey(vk);
            } else {
                emulated::ReleaseKey(vk);
            }
        } else if (what < 80) {
            // Tapped only while the worker is parked: a tap between a scan's
            // sample and the reset's query is not seen, by design. (With the
            // clock run by the emulator, the worker cannot wake while this
            // thread runs.)
            const int k = pick(FIXED_KEYS);
            // seen[], not FixedFires: a fire that happens during this check
            // has not yet pushed rearmedAt back.
            if (seen[k] == taps[k] && emulated::Now() >= rearmedAt[k] &&
                emulated::ThreadState(PollerThread) == emulated::TThreadState::Blocked &&
                emulated::ThreadWaitName(PollerThread) == "SleepEx") {
                emulated::TapKey(FIXED_VK[k]);
                ++taps[k];
                lastTapAt[k] = emulated::Now();
            }
        } else {
            platform::Sleep(static_cast<uint32_t>(1 + pick(60)));
        }
        for (int k = 0; k < FIXED_KEYS; ++k) {
            ASSERT_LE(FixedFires[k], taps[k]) << "a tap of key " << k << " fired twice";
            // Seen to fire: re-armed once a cycle has found the key up.
            if (FixedFires[k] != seen[k]) {
                seen[k] = FixedFires[k];
                rearmedAt[k] = emulated::Now() + 2 * POLL_INTERVAL_MS + 1;
            }
        }
    }
    // Let every outstanding tap come through.
    platform::Sleep(3 * POLL_INTERVAL_MS);
    int total = 0;
    for (int k = 0; k < FIXED_KEYS; ++k) {
        EXPECT_EQ(FixedFires[k], taps[k]) << "key " << k << ", last tapped at " << lastTapAt[k] << ", now "
                                          << emulated::Now();
        total += taps[k];
    }
    EXPECT_GT(total, 1000) << "the run pressed too little to prove anything";
    EXPECT_GT(ChurnFires.load(), 0);
}

// --- A callback that throws in every call.

std::atomic<int> ThrowerCalls{0};
std::vector<uint64_t> OtherFiredAt;
void Thrower(int32_t) {
    ++ThrowerCalls;
    throw std::runtime_error("always");
}
void RecordTime(int32_t) { OtherFiredAt.push_back(emulated::Now()); }

TEST_F(PollerTest, ACallbackThrowingInEveryCallForSixHundredCycles) {
    ASSERT_TRUE(AddHotkey(1, 0, 0x41, Thrower));
    ASSERT_TRUE(AddHotkey(2, 0, 0x42, RecordTime));
    ThrowerCalls = 0;
    OtherFiredAt.clear();
    const uint64_t start = emulated::Now();
    int throws = 0;
    for (int cycle = 0; cycle < 600; ++cycle) {
        // The thrower is held in two cycles of three. The other key is down in
        // every other one of the remaining cycles, up in the rest, so each of
        // its presses should fire once, in a cycle where the thrower does not.
        const bool held = cycle % 3 != 2;
        if (held) {
            emulated::PressKey(0x41);
            ++throws;
        } else {
            emulated::ReleaseKey(0x41);
        }
        if (!held && cycle % 6 == 2) {
            emulated::TapKey(0x42);
        }
        Cycle();
        ASSERT_EQ(emulated::Now(), start + (cycle + 1) * POLL_INTERVAL_MS) << "the worker lost its rhythm";
    }
    EXPECT_EQ(ThrowerCalls, throws) << "the thrower did not fire again in every held cycle";
    EXPECT_EQ(OtherFiredAt.size(), 100u);
    // Recorded at the end of the cycle's wait, so one interval later.
    for (uint64_t at : OtherFiredAt) EXPECT_EQ((at - start) / POLL_INTERVAL_MS % 6, 3u);
    EXPECT_EQ(emulated::ThreadWaitName(PollerThread), "SleepEx");
}

// --- A host calling the plug-in out of order.

platform::TWindow MainWindow;
platform::TWindow XMP_STDCALL GetMainWindow() { return MainWindow; }
const THostTable FullTable{nullptr, GetMainWindow};
const THostTable NoWindowRoutine{nullptr, nullptr};
const THostTable* GivenTable;
const THostTable* XMP_STDCALL GetHostTable(uint32_t) { return GivenTable; }

TEST(HostMisuseTest, RandomCallSequencesNeverCrashOrHangAndKeysLiveExactlyWithAnInstance) {
    using namespace xmp_plovane;
    std::vector<uintptr_t> shortcuts;
    MainWindow = emulated::CreateWindowForThisThread([&](uint32_t message, uintptr_t wParam, intptr_t) {
        if (message == SHORTCUT_MSG) shortcuts.push_back(wParam);
        return intptr_t{0};
    });
    std::mt19937 random(99);
    auto pick = [&](int n) { return static_cast<int>(random() % static_cast<uint32_t>(n)); };
    void* const garbage[] = {nullptr, reinterpret_cast<void*>(1), reinterpret_cast<void*>(0xDEADBEEF),
                             reinterpret_cast<void*>(-1)};
    for (int sequence = 0; sequence < 40; ++sequence) {
        UnloadModule();  // a fresh mapping of the library
        shortcuts.clear();
        bool loaded = false;
        TPluginDescriptor* d = nullptr;
        int instances = 0;
        bool windowKnown = false;
        for (int step = 0; step < 120; ++step) {
            SCOPED_TRACE("sequence " + std::to_string(sequence) + " step " + std::to_string(step));
            const int what = pick(14);
            if (!loaded) {
                UnloadModule();
                ASSERT_TRUE(emulated::LoadLibrary(LibraryEntry));
                loaded = true;
                d = nullptr;
                instances = 0;
                continue;
            }
            if (what == 0) {
                // Real time passes during the unload: a shut-down that gives a
                // busy worker a moment to park just as it enters a callback
                // wakes from its short wait by the clock.
                emulated::SetAutoClock(true);
                emulated::FreeLibrary(LibraryEntry);
                emulated::SetAutoClock(false);
                loaded = false;
                continue;
            }
            if (what == 1 || d == nullptr) {
                const int variant = pick(4);
                GivenTable = variant == 0 ? &FullTable : variant == 1 ? nullptr : &NoWindowRoutine;
                d = XMPDSP_GetInterface2(static_cast<uint32_t>(pick(3)), variant == 3 ? nullptr : GetHostTable);
                if (variant == 3) GivenTable = nullptr;
                continue;
            }
            switch (what) {
                case 2:
                case 3:
                    if (instances < 20) {
                        ASSERT_EQ(d->CreateInstance(), reinterpret_cast<void*>(1));
                        ++instances;
                        windowKnown = GivenTable == &FullTable;
                    }
                    break;
                case 4:
                case 5:
                    d->FreeInstance(garbage[pick(4)]);
                    if (instances > 0) --instances;
                    break;
                case 6: d->ShowAbout(garbage[pick(4)]); break;
                case 7: EXPECT_EQ(d->DescribeInstance(garbage[pick(4)]), d->Name); break;
                case 8: EXPECT_EQ(d->ReadSettings(garbage[pick(4)], nullptr), 0u); break;
                case 9: EXPECT_EQ(d->ApplySettings(garbage[pick(4)], nullptr, random()), 0xFFFFFFFFu); break;
                case 10: {
                    const uint32_t count = random();
                    EXPECT_EQ(d->PassSamples(garbage[pick(4)], nullptr, count), count);
                    break;
                }
                default: {
                    // The keys are live exactly while an instance's registrations exist.
                    const size_t before = shortcuts.size();
                    PumpAndSettle();  // a tap during a cycle may fall between its scan and its reset
                    emulated::TapKey(0xB3);
                    PumpCycle();
                    PumpCycle();
                    ASSERT_EQ(HotkeyLast + 1, 4 * instances);
                    ASSERT_EQ(PollerThread != nullptr || instances == 0, true);
                    if (windowKnown && instances > 0) {
                        ASSERT_EQ(shortcuts.size() - before, static_cast<size_t>(instances));
                    } else if (instances == 0) {
                        ASSERT_EQ(shortcuts.size(), before);
                    }
                    // With no worker the tap is still pending, and the next
                    // worker's first scan would fire it: clear it here.
                    platform::GetAsyncKeyState(0xB3);
                    break;
                }
            }
        }
        if (loaded) emulated::FreeLibrary(LibraryEntry);
    }
    emulated::DestroyWindow(MainWindow);
    UnloadModule();
}

}  // namespace
