#include "key_sampler.h"

#include <cstring>

#include "platform.h"

namespace global_hotkeys {

namespace {
constexpr uint16_t DOWN_BIT = 0x8000;
constexpr uint16_t PRESSED_SINCE_BIT = 0x0001;
}  // namespace

uint8_t KeyStates[256];

bool IsKeyDown(uint16_t vk) {
    if (vk > 255) return (platform::GetAsyncKeyState(vk) & DOWN_BIT) != 0;
    if (KeyStates[vk] == KEY_UNSAMPLED) {
        const uint16_t state = platform::GetAsyncKeyState(vk);
        KeyStates[vk] = (state & (PRESSED_SINCE_BIT | DOWN_BIT)) != 0 ? KEY_DOWN : KEY_UP;
    }
    return KeyStates[vk] == KEY_DOWN;
}

void ResetKeyStates() {
    std::memset(KeyStates, KEY_UNSAMPLED, sizeof KeyStates);
    // The queries clear the pressed-since bits, so the next scan sees only
    // presses made from now on.
    for (int vk = 0; vk <= 255; ++vk) platform::GetAsyncKeyState(vk);
}

}  // namespace global_hotkeys
