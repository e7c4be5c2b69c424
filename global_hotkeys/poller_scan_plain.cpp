// The worker's scan in a module built without a C++ runtime (the DLL users
// get): its callbacks cannot throw, so there is nothing to catch, and no
// exception tables are needed.
#include "hotkey_table.h"
#include "poller.h"

namespace global_hotkeys {

bool PollerScan() { return ScanHotkeys(); }

}  // namespace global_hotkeys
