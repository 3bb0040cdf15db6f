// brindle.exe's own terminate handler, for the MinGW build, which links GCC's C++
// runtime (libstdc++) statically.
//
// The runtime's default handler, __gnu_cxx::__verbose_terminate_handler, prints the
// demangled type of an uncaught exception before aborting; it brings the whole C++
// demangler into the executable, about 70 KB, a third of brindle.exe. The runtime's
// own build offers the quiet alternative (--disable-libstdcxx-verbose) only to whoever
// builds GCC. Defining the symbol here gives the static linker a definition before it
// searches libstdc++.a, so the library member holding the verbose handler, and the
// demangler it calls, are never linked in.
//
// brindle reports its own failures on standard error and does not throw on purpose:
// what can still reach std::terminate is the runtime's own failure (std::bad_alloc),
// where a name printed in GCC's words helps no user of a Windows launcher.
#include <cstdlib>

namespace __gnu_cxx {

void __verbose_terminate_handler() {
    std::abort();
}

}  // namespace __gnu_cxx
