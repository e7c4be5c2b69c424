// The per-cycle key-state cache: each key code below 256 is queried at most
// once per scan, and a tap made between two cycles counts as a press.
#pragma once

#include <cstdint>

namespace global_hotkeys {

enum : uint8_t { KEY_UNSAMPLED = 0, KEY_DOWN = 1, KEY_UP = 2 };

extern uint8_t KeyStates[256];

// Down now, or (below 256) pressed since the last reset.
bool IsKeyDown(uint16_t vk);

// Ends a cycle: forgets every sample and clears every key's pressed-since bit.
void ResetKeyStates();

}  // namespace global_hotkeys
