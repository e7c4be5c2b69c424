// Replaces libstdc++'s default terminate handler, which prints the type of
// an uncaught exception and so pulls the demangler and a floating-point
// printf into the DLL: about 77 KB of the 142 KB it had. Nothing should
// reach it: the worker catches whatever a callback throws. Should anything
// still call std::terminate, the process ends as it would have, without the
// message.
#include <cstdlib>

namespace __gnu_cxx {
void __verbose_terminate_handler() { std::abort(); }
}  // namespace __gnu_cxx
