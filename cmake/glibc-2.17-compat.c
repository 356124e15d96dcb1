/* Linked into the x86-64 wheels (x86_64-linux-gnu.2.17.cmake).
 *
 * GCC 12's libstdc++.a reads glibc's __libc_single_threaded (new in glibc
 * 2.32) to skip atomic reference counts in a process with one thread. glibc
 * 2.17 has no such variable, so the module carries its own, hidden, saying
 * "not single-threaded": libstdc++ then always takes the atomic path, which
 * is right on whichever glibc the module is loaded. */
__attribute__((visibility("hidden"))) char __libc_single_threaded = 0;
