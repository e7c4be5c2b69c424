// global_hotkeys: run a callback whenever a key combination is pressed,
// whichever application has the focus. A worker thread samples the keyboard
// every 100 ms; no keyboard hook and no system-registered hot key is used.
//
// AddHotkey and RemoveHotkey are called from one thread at a time, never
// from inside a callback. Callbacks run on the worker, in registration
// order, once per press. While the calling thread waits for the worker in
// either call, it handles the messages sent to its own windows, so a
// callback may send synchronously to that thread's windows.
#pragma once

#include <cstdint>

namespace global_hotkeys {

// Modifier flags (the platform's MOD_ALT, MOD_CONTROL, MOD_SHIFT); other bits
// are ignored.
constexpr uint16_t MOD_ALT_KEY = 1;
constexpr uint16_t MOD_CONTROL_KEY = 2;
constexpr uint16_t MOD_SHIFT_KEY = 4;

// Receives the identifier the combination was registered with.
using THotkeyCallback = void (*)(int32_t id);

// Registers a combination: `vk` held with every modifier named. True when
// stored, false when the table already holds 100 entries or the worker's
// lock could not be made. Identifiers need not be unique.
bool AddHotkey(int32_t id, uint16_t modifiers, uint16_t vk, THotkeyCallback callback);

// Removes the first registration with this id; true when one was removed.
// Removing the last registration stops the worker; when this returns, the
// worker has ended and no callback runs any more.
bool RemoveHotkey(int32_t id);

// Run by the library's entry routine at process attach: starts the worker.
void HotkeysStartup();

// Run by the library's entry routine at process detach. Never waits (the
// loader lock is held). `processEnding`: the process is exiting, so every
// other thread is already gone.
void HotkeysShutdown(bool processEnding = false);

}  // namespace global_hotkeys
