// The C++ runtime inside a general caller's DLL (the probe).
#pragma once

// Gives back what the runtime allocated at the DLL's load and would
// otherwise keep after its unload: under Wine, 127 KiB of a 64-bit process's
// address space per load and unload. Called at process detach, once nothing
// of ours can throw any more; never at process exit, where the heap may be
// in any state.
void ReleaseStaticRuntime();
