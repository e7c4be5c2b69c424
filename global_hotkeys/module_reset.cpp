// The module's state returned to what it is at load, for a process that
// starts over with a fresh image (as tests do). A file of its own, so that a
// DLL that never calls it does not carry it.
#include <cstring>

#include "hotkey_table.h"
#include "key_sampler.h"
#include "poller.h"

namespace global_hotkeys {

void ForgetModuleState() {
    PollerThread = nullptr;
    PollerLock = nullptr;
    StopRequested = 0;
    Poller.Signal = nullptr;
    Poller.Marker = nullptr;
    Poller.ThreadId = 0;
    Poller.CallbackWaitsFor = 0;
    Poller.LockWaiters = 0;
    Poller.Generation = 0;
    Poller.EngineCalls = 0;
    Poller.StopInProgress = false;
    Poller.LastShutdown = SHUTDOWN_NO_WORKER;
    std::memset(HotkeyTable, 0, sizeof HotkeyTable);
    HotkeyLast = -1;
    std::memset(KeyStates, 0, sizeof KeyStates);
}

}  // namespace global_hotkeys
