// The worker's scan for general callers, whose callbacks may throw: what a
// callback throws ends that cycle's scan and nothing more.
#include "hotkey_table.h"
#include "poller.h"

namespace global_hotkeys {

void PollerScan() {
    try {
        ScanHotkeys();
    } catch (...) {
        // Dropped: the worker goes on with its next cycle.
    }
}

}  // namespace global_hotkeys
