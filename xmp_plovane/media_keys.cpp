#include "media_keys.h"

#include "global_hotkeys.h"

namespace xmp_plovane {

std::atomic<platform::TWindow> HostWindow{nullptr};
static_assert(std::atomic<platform::TWindow>::is_always_lock_free, "HostWindow must be one atomic word");

void RegisterMediaKeys() {
    for (uint8_t vk : MEDIA_KEYS) global_hotkeys::AddHotkey(vk, 0, vk, MediaKeyCommand);
}

void UnregisterMediaKeys() {
    for (uint8_t vk : MEDIA_KEYS) global_hotkeys::RemoveHotkey(vk);
}

void MediaKeyCommand(int32_t id) {
    using namespace host_interface;
    uintptr_t shortcut;
    switch (id) {
        case 0xB0: shortcut = HOST_SHORTCUT_NEXT_TRACK; break;
        case 0xB1: shortcut = HOST_SHORTCUT_PREVIOUS_TRACK; break;
        case 0xB2: shortcut = HOST_SHORTCUT_STOP; break;
        case 0xB3: shortcut = HOST_SHORTCUT_PLAY_PAUSE; break;
        default: return;
    }
    // Waits for the player's thread: an unload made by it must not wait for us.
    global_hotkeys::SendMessageFromCallback(HostWindow.load(), SHORTCUT_MSG, shortcut, 0);
}

}  // namespace xmp_plovane
