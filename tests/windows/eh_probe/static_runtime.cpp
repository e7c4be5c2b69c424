// What a general caller's DLL (the probe) changes in the C++ runtime linked
// into it.
#include "static_runtime.h"

#include <cstdlib>

#ifdef __GLIBCXX__

namespace __gnu_cxx {

// Replaces libstdc++'s default terminate handler, which prints the type of
// an uncaught exception and so pulls the demangler and a floating-point
// printf into the DLL: about 77 KB of the 142 KB it had. Nothing should
// reach it: the worker catches whatever a callback throws. Should anything
// still call std::terminate, the process ends as it would have, without the
// message.
void __verbose_terminate_handler() { std::abort(); }

// libstdc++'s own release of what it allocates once (its pool for
// exceptions thrown when memory has run out: 72 KiB in a 64-bit DLL).
void __freeres() noexcept;

}  // namespace __gnu_cxx

void ReleaseStaticRuntime() { __gnu_cxx::__freeres(); }

#else

void ReleaseStaticRuntime() {}

#endif
