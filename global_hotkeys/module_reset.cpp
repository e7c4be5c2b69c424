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
    Poller.LockFreed = nullptr;
    Poller.Marker = nullptr;
    Poller.ThreadId = 0;
    Poller.Current = nullptr;
    for (TWorkerRecord& worker : Poller.Workers) {
        worker.ThreadId = 0;
        worker.Send = WORKER_SCANNING;
        worker.SendsTo = 0;
        worker.Thread = nullptr;
        worker.Marker = nullptr;
        worker.InUse = false;
    }
    Poller.SendsInFlight = 0;
    Poller.CacheFromLetGo = 0;
    Poller.LockWaiters = 0;
    Poller.Generation = 0;
    Poller.EngineCalls = 0;
    Poller.StopInProgress = false;
    Poller.LastShutdown = SHUTDOWN_NO_WORKER;
    std::memset(HotkeyTable, 0, sizeof HotkeyTable);
    HotkeyLast = -1;
    ScanSlot = -1;
    ScanLast = -1;
    CallbackRunning = 0;
    std::memset(KeyStates, 0, sizeof KeyStates);
}

}  // namespace global_hotkeys
