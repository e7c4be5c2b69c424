// The registry of key combinations and the firing rule. Nothing here locks:
// callers hold PollerLock whenever a worker shares the table.
#pragma once

#include <atomic>
#include <cstdint>

#include "global_hotkeys.h"

namespace global_hotkeys {

constexpr int32_t HOTKEY_CAPACITY = 100;
constexpr int KEY_LIST_LENGTH = 5;

constexpr uint16_t VK_SHIFT_KEY = 0x10;
constexpr uint16_t VK_CONTROL_KEY = 0x11;
constexpr uint16_t VK_MENU_KEY = 0x12;

struct THotkeyEntry {
    int32_t id;
    uint16_t keys[KEY_LIST_LENGTH];  // zero-terminated; built by BuildKeyList
    uint8_t pressed;                 // 1 once fired for the current hold
    THotkeyCallback callback;        // may be absent
    uint16_t modifiers;              // as registered; kept for reference
    uint16_t vk;                     // as registered; keys[0]
};

// Live entries are slots 0..HotkeyLast, in the order they were appended.
extern THotkeyEntry HotkeyTable[HOTKEY_CAPACITY];
extern int32_t HotkeyLast;  // -1 when empty

bool AppendHotkey(int32_t id, uint16_t modifiers, uint16_t vk, THotkeyCallback callback);
bool DeleteHotkey(int32_t id);

// The key itself, then Ctrl, Alt, Shift (side-neutral codes), then 0.
void BuildKeyList(uint16_t modifiers, uint16_t vk, uint16_t (&keys)[KEY_LIST_LENGTH]);

bool IsComboDown(const THotkeyEntry& entry);

// 1 while ScanHotkeys runs a callback, which may be waiting for another
// thread (the media-key callback waits for the host's window).
extern std::atomic<uint8_t> CallbackRunning;

// Where a pass stands while a callback runs: the slot whose callback runs
// (-1 between callbacks) and the last slot the pass visits. A callback that
// sends through SendMessageFromCallback lends the lock out, so the table may
// change under it: DeleteHotkey moves these with the entries. Entries
// appended meanwhile lie beyond the pass.
extern int32_t ScanSlot;
extern int32_t ScanLast;

// One pass over the live entries: runs the callback of every combination
// that has become held since it was last seen released. An exception from a
// callback ends the pass and reaches the caller; that entry stays armed.
// False when the worker running it was let go during a callback: the pass
// then ends at once, touching nothing more.
bool ScanHotkeys();

// Runs an entry's callback for ScanHotkeys (the worker's part, poller.cpp);
// false when the worker was let go meanwhile.
bool RunHotkeyCallback(const THotkeyEntry& entry);

}  // namespace global_hotkeys
