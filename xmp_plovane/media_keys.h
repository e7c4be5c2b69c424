// The four media keys and the player's shortcut commands they trigger.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform.h"
#include "xmp_dsp.h"

namespace xmp_plovane {

// Registration order, and so the order of commands found in one cycle.
constexpr uint8_t MEDIA_KEYS[4] = {
    0xB2,  // VK_MEDIA_STOP
    0xB0,  // VK_MEDIA_NEXT_TRACK
    0xB1,  // VK_MEDIA_PREV_TRACK
    0xB3,  // VK_MEDIA_PLAY_PAUSE
};

// The player's "perform shortcut" message.
constexpr uint32_t SHORTCUT_MSG = host_interface::HOST_SHORTCUT_MESSAGE;

// Written by CreateInstance on the host's thread, read by the worker.
extern std::atomic<platform::TWindow> HostWindow;

void RegisterMediaKeys();
void UnregisterMediaKeys();

// The callback of the four registrations: sends the matching shortcut to
// HostWindow and returns once the player has handled it.
void MediaKeyCommand(int32_t id);

}  // namespace xmp_plovane
