// global_hotkeys: run a callback whenever a key combination is pressed,
// whichever application has the focus. A worker thread samples the keyboard
// every 100 ms; no keyboard hook and no system-registered hot key is used.
//
// Callbacks run on the worker, in registration order, once per press. The
// worker HotkeysStartup starts runs on the empty table until a removal first
// leaves the table empty; from then on one worker runs exactly while the
// table is not empty, unless the system could not create it: AddHotkey then
// still stores the entry and returns true, and the stored entries fire once
// a later AddHotkey has started a worker.
//
// While AddHotkey or RemoveHotkey waits for the worker (for the table's lock,
// or for a stopping worker to end), the calling thread handles the messages
// other threads send to its windows. So a callback may send synchronously to
// that thread's windows, and the window procedures run meanwhile may call
// AddHotkey and RemoveHotkey themselves: afterwards every entry reported
// stored is in the table, every entry reported removed is gone, and the
// worker runs as said above.
//
// A callback that sends through SendMessageFromCallback lends the lock out
// for the send: the window procedure that handles it (and anything it runs,
// a modal loop included) may call AddHotkey and RemoveHotkey too. The pass
// goes on with the entries left, in order; an entry added meanwhile for a
// key the pass found down starts as fired: it fires from that key's next
// press, not the one under way. A removal there that empties the table cannot wait for the worker
// (which waits for that procedure): it lets the worker go. From then on the
// worker sends nothing and touches nothing of the module's; it leaves once
// its send returns.
//
// The caller's rules, as for any lock:
// - Call AddHotkey and RemoveHotkey from one thread at a time.
// - Never from a callback, nor from anything a callback waits for, unless
//   it waits through SendMessageFromCallback as above. The window procedure
//   that handles a plain SendMessage from a callback runs while the worker
//   holds the lock: registering or removing from it deadlocks.
// - Never with the loader lock held (from a library's entry routine): the
//   last removal waits for the worker to end, and a thread's end needs that
//   lock. HotkeysStartup and HotkeysShutdown are the calls made for there.
// - Never wait alertably in a callback (SleepEx, or a wait with its alertable
//   flag): a stop ends the worker at its next alertable wait, meant to be
//   the one between its cycles, where it holds nothing.
// - Send to a window from a callback through SendMessageFromCallback, not
//   SendMessage itself: see there.
// - Remove your entries before the library is unloaded. At unload a callback
//   still running may finish only within a grace of 100 ms (a deadline on
//   the performance counter; its last wait may overrun it by up to one
//   timer tick, 15.6 ms by default on Windows: at most about 116 ms). One
//   that has declared it waits for the unloading thread, while some sent
//   message is pending there (the system does not say whose), is suspended
//   at once; one still running after the grace is suspended where it
//   stands. Either stays so for the rest of the process, with the lock and
//   the two events. Should the system refuse the suspension, the unload
//   waits for the worker to reach its exit however long its callback runs,
//   and ends it where it blocks if it waits for the unloading thread.
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
// Removing the last registration stops the worker: when that removal
// returns, no callback runs any more and the worker has ended (or, removed
// from the handler of its callback's send, been let go), unless window
// procedures run while it waited added entries, which then have a new
// worker. A removal made by such a procedure, inside another removal's stop,
// returns at once with that worker still ending; the outer removal waits
// for it.
bool RemoveHotkey(int32_t id);

// For a callback that sends synchronously to a window: SendMessage, with the
// table's lock lent out meanwhile (see above), telling the module that this
// callback waits for the thread that owns `window` (the system says which).
// If that thread unloads the library meanwhile (it will not handle the
// message under the loader lock), the worker is suspended at once rather
// than after the grace. Returns 0 and sends nothing once the worker has been
// let go; a callback returns without further work when it gets there.
// Called off the worker, it only sends.
intptr_t SendMessageFromCallback(void* window, uint32_t message, uintptr_t wParam, intptr_t lParam);

// Run by the library's entry routine at process attach: starts the worker.
void HotkeysStartup();

// Run by the library's entry routine at process detach, under the loader
// lock: never waits for the worker to end (its end needs that lock), at most
// the grace for a busy worker to reach its exit (longer only when the
// worker cannot be suspended). That exit completes once the unload is over,
// and runs no more of the library's code; see the last rule above for a
// callback still running. What it leaves when it cannot end the worker: the
// thread (suspended, or, if its suspension was refused, ended where it
// blocked), the lock and the two events. `processEnding`: the process is
// exiting, so every other thread is already gone; nothing is touched.
void HotkeysShutdown(bool processEnding = false);

}  // namespace global_hotkeys
