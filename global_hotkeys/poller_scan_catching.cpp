// The worker's scan for general callers, whose callbacks may throw: what a
// callback throws ends that cycle's scan and nothing more.
#include "hotkey_table.h"
#include "poller.h"

namespace global_hotkeys {

bool PollerScan() {
    try {
        return ScanHotkeys();
    } catch (...) {
        // Dropped: the worker goes on with its next cycle, unless it was let
        // go before its callback threw.
        const TWorkerRecord* worker = WorkerRecordOfThisThread();
        if (worker != nullptr && worker->Send != WORKER_SCANNING) return false;
        CallbackRunning = 0;
        ScanSlot = -1;
        return true;
    }
}

}  // namespace global_hotkeys
