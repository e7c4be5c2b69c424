// Long random sequences of registrations, removals, key activity and worker
// cycles, checked step by step against a small reference model of the table
// and the firing rule.
#include <map>
#include <random>
#include <stdexcept>

#include "test_support.h"

namespace {

using namespace testing_support;

constexpr int32_t THROWING_ID_BASE = 1000;

void RecordAndMaybeThrow(int32_t id) {
    Record(id);
    if (id >= THROWING_ID_BASE) throw std::runtime_error("callback failure");
}

struct TModelEntry {
    int32_t Id;
    uint16_t Modifiers;
    uint16_t Vk;
    bool HasCallback;
    bool Pressed;
};

class TModel {
public:
    bool Running = false;
    std::vector<TModelEntry> Table;
    std::vector<int32_t> Fired;
    std::map<int, bool> Down, PressedSince;

    bool Add(const TModelEntry& entry) {
        if (Table.size() == 100) return false;
        Table.push_back(entry);
        return true;
    }
    bool Remove(int32_t id) {
        if (!Running) return false;
        bool removed = false;
        for (auto it = Table.begin(); it != Table.end(); ++it) {
            if (it->Id == id) {
                Table.erase(it);
                removed = true;
                break;
            }
        }
        if (Table.empty()) Running = false;
        return removed;
    }
    void Press(int vk) {
        if (!Down[vk]) PressedSince[vk] = true;
        Down[vk] = true;
    }
    void Release(int vk) { Down[vk] = false; }
    void Tap(int vk) {
        PressedSince[vk] = true;
        Down[vk] = false;
    }
    // Windows reports no code of 256 or more down.
    bool KeyDown(int vk) { return vk <= 255 && (Down[vk] || PressedSince[vk]); }
    bool ComboDown(const TModelEntry& e) {
        if (e.Vk == 0) return false;
        if (!KeyDown(e.Vk)) return false;
        if ((e.Modifiers & 2) && !KeyDown(0x11)) return false;
        if ((e.Modifiers & 1) && !KeyDown(0x12)) return false;
        if ((e.Modifiers & 4) && !KeyDown(0x10)) return false;
        return true;
    }
    // One worker cycle: the scan, then the reset.
    void Cycle() {
        for (TModelEntry& e : Table) {
            if (!ComboDown(e)) {
                e.Pressed = false;
            } else if (!e.Pressed) {
                if (e.HasCallback) {
                    Fired.push_back(e.Id);
                    if (e.Id >= THROWING_ID_BASE) break;
                }
                e.Pressed = true;
            }
        }
        for (auto& [vk, since] : PressedSince) since = since && vk > 255;
    }
};

void ExpectSameTable(const TModel& model) {
    ASSERT_EQ(HotkeyLast + 1, static_cast<int32_t>(model.Table.size()));
    for (size_t i = 0; i < model.Table.size(); ++i) {
        const THotkeyEntry& real = HotkeyTable[i];
        const TModelEntry& expected = model.Table[i];
        ASSERT_EQ(real.id, expected.Id) << "slot " << i;
        ASSERT_EQ(real.vk, expected.Vk) << "slot " << i;
        ASSERT_EQ(real.modifiers, expected.Modifiers) << "slot " << i;
        ASSERT_EQ(real.callback != nullptr, expected.HasCallback) << "slot " << i;
        ASSERT_EQ(real.pressed != 0, expected.Pressed) << "slot " << i;
    }
}

void RunSequence(uint32_t seed, int steps) {
    std::mt19937 random(seed);
    auto pick = [&](int n) { return static_cast<int>(random() % static_cast<uint32_t>(n)); };
    const int keys[] = {0x41, 0x42, 0x43, 0x10, 0x11, 0x12, 0, 0x1234};
    TModel model;
    for (int step = 0; step < steps; ++step) {
        SCOPED_TRACE("seed " + std::to_string(seed) + " step " + std::to_string(step));
        const int what = pick(100);
        if (what < 22) {
            const int kind = pick(10);
            TModelEntry entry{pick(12) + (kind == 0 ? THROWING_ID_BASE : 0),
                              static_cast<uint16_t>(pick(4) == 0 ? pick(16) : 0),
                              static_cast<uint16_t>(keys[pick(8)]), kind != 1, false};
            const THotkeyCallback callback = entry.HasCallback ? RecordAndMaybeThrow : nullptr;
            const bool starts = !model.Running;
            ASSERT_EQ(AddHotkey(entry.Id, entry.Modifiers, entry.Vk, callback), model.Add(entry));
            // A worker started by this add scans at once, and already sees the entry.
            if (starts) {
                model.Running = true;
                model.Cycle();
            }
            Settle();
        } else if (what < 34) {
            const int32_t id = pick(12) + (pick(10) == 0 ? THROWING_ID_BASE : 0);
            ASSERT_EQ(RemoveHotkey(id), model.Remove(id));
        } else if (what < 50) {
            const int vk = keys[pick(8)];
            emulated::PressKey(vk);
            model.Press(vk);
        } else if (what < 66) {
            const int vk = keys[pick(8)];
            emulated::ReleaseKey(vk);
            model.Release(vk);
        } else if (what < 74) {
            const int vk = keys[pick(8)];
            emulated::TapKey(vk);
            model.Tap(vk);
        } else if (model.Running) {
            Cycle();
            model.Cycle();
        }
        ASSERT_EQ(PollerThread != nullptr, model.Running);
        ASSERT_NO_FATAL_FAILURE(ExpectSameTable(model));
        ASSERT_EQ(Fired(), model.Fired);
    }
}

class ModelTest : public TableTest {};

TEST_F(ModelTest, RandomSequencesMatchTheReferenceModel) {
    for (uint32_t seed = 1; seed <= 12; ++seed) {
        UnloadModule();
        ASSERT_NO_FATAL_FAILURE(RunSequence(seed, 600));
    }
}

}  // namespace
