// Built into the portable wheels only (PICTOR_PORTABLE), which carry the C++
// runtime inside the module. The runtime's headers read glibc's
// __libc_single_threaded (glibc 2.32 and later) to skip atomic reference
// counts in single-threaded processes; this module's own copy, always false,
// keeps the atomics and lets the module load on older glibc. The linker hides
// it with the rest of the static runtime.
extern "C" {
char __libc_single_threaded = 0;
}
