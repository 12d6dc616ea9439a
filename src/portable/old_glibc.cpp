// Built into the portable wheels only (PICTOR_PORTABLE), which carry the C++
// runtime inside the module and link against the symbols of an old glibc.
// The runtime asks for two glibc symbols that old glibc lacks; the module's
// own hidden definitions answer for them.
#include <cstdlib>

#include <unistd.h>

extern "C" {

// glibc 2.32 and later say here whether the process has one thread, so that
// the runtime can skip atomic reference counts. Always false: the atomics stay.
char __libc_single_threaded = 0;

// glibc 2.36 and later: random numbers for std::random_device, which the
// module never constructs; from the kernel's entropy, as glibc's own.
unsigned int arc4random() {
  unsigned int value;
  if (getentropy(&value, sizeof value) != 0) std::abort();
  return value;
}

}  // extern "C"
