#include "hotkey_table.h"

#include "key_sampler.h"

namespace global_hotkeys {

THotkeyEntry HotkeyTable[HOTKEY_CAPACITY];
int32_t HotkeyLast = -1;
std::atomic<uint8_t> CallbackRunning{0};
int32_t ScanSlot = -1;
int32_t ScanLast = -1;

namespace {
bool ScanSlotDeleted = false;  // the entry whose callback runs was deleted
}  // namespace

void BuildKeyList(uint16_t modifiers, uint16_t vk, uint16_t (&keys)[KEY_LIST_LENGTH]) {
    int count = 0;
    keys[count++] = vk;
    if (modifiers & MOD_CONTROL_KEY) keys[count++] = VK_CONTROL_KEY;
    if (modifiers & MOD_ALT_KEY) keys[count++] = VK_MENU_KEY;
    if (modifiers & MOD_SHIFT_KEY) keys[count++] = VK_SHIFT_KEY;
    while (count < KEY_LIST_LENGTH) keys[count++] = 0;
}

bool AppendHotkey(int32_t id, uint16_t modifiers, uint16_t vk, THotkeyCallback callback) {
    if (HotkeyLast == HOTKEY_CAPACITY - 1) return false;
    THotkeyEntry& entry = HotkeyTable[++HotkeyLast];
    entry.id = id;
    entry.vk = vk;
    entry.pressed = 0;
    entry.modifiers = modifiers;
    entry.callback = callback;
    BuildKeyList(modifiers, vk, entry.keys);
    return true;
}

bool DeleteHotkey(int32_t id) {
    for (int32_t i = 0; i <= HotkeyLast; ++i) {
        if (HotkeyTable[i].id != id) continue;
        for (int32_t j = i; j < HotkeyLast; ++j) HotkeyTable[j] = HotkeyTable[j + 1];
        --HotkeyLast;
        if (ScanSlot >= 0) {
            if (i <= ScanLast) --ScanLast;
            if (i < ScanSlot)
                --ScanSlot;
            else if (i == ScanSlot)
                ScanSlotDeleted = true;
        }
        return true;
    }
    return false;
}

bool IsComboDown(const THotkeyEntry& entry) {
    if (entry.keys[0] == 0) return false;
    for (uint16_t key : entry.keys) {
        if (key == 0) return true;
        if (!IsKeyDown(key)) return false;
    }
    return true;
}

bool ScanHotkeys() {
    ScanLast = HotkeyLast;
    for (int32_t i = 0; i <= ScanLast; ++i) {
        THotkeyEntry& entry = HotkeyTable[i];
        if (!IsComboDown(entry)) {
            entry.pressed = 0;
            continue;
        }
        if (entry.pressed != 0) continue;
        if (entry.callback != nullptr) {
            ScanSlot = i;
            ScanSlotDeleted = false;
            if (!RunHotkeyCallback(entry)) return false;
            i = ScanSlot;
            ScanSlot = -1;
            // Its slot now holds the entry after it, not yet visited.
            if (ScanSlotDeleted) {
                --i;
                continue;
            }
        }
        // Marked only after the callback returns: one that throws leaves the
        // entry armed, to fire again next cycle.
        HotkeyTable[i].pressed = 1;
    }
    return true;
}

}  // namespace global_hotkeys
