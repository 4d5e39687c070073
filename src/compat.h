// Platform shims: the few BSD interfaces the program relies on, provided here
// where the C library lacks them, with the semantics of the BSD originals;
// and which vector instructions the machine runs.
//
// pledge is the one function with an effect that lasts: once it has narrowed
// the process, nothing widens it again, for the rest of the process and for
// any thread it starts. The others keep no state and are safe at any time.
#pragma once

// Any C library header defines the macro that names the library (__GLIBC__).
#include <cstddef>

namespace vestrel {

// Narrows the process to the given promises, for good. Only "stdio" and
// "rpath" are known (words separated by spaces); `execpromises` is ignored,
// since nothing may be executed afterwards anyway.
//
// - OpenBSD: the system's pledge(2), with its semantics and errors.
// - Linux: sets no_new_privs; applies Landlock so that files and directories
//   can only be read (with "rpath"; without it, not even that), TCP bind and
//   connect are refused and signals to processes outside the sandbox are
//   refused, as far as the kernel's Landlock version allows; installs a
//   seccomp filter that allows only the system calls reading files, using
//   the descriptors already open, managing memory, reading clocks, starting
//   threads and ending the process need, with their arguments checked where
//   a call could reach outside the process (read-only opens, ioctl and fcntl
//   requests on the descriptors themselves, scheduling and limits of this
//   process only, clone for threads only). Any other call fails with EPERM;
//   a call of a foreign ABI ends the process. The table of allowed calls is
//   in compat.cpp and docs/containment.md. A mechanism the kernel lacks is
//   left out without an error.
// - Elsewhere (FreeBSD): accepts the promises and changes nothing.
//
// Returns 0 on success. Returns -1 with errno set on failure: EINVAL for a
// promise this platform does not know, otherwise the error of the call that
// failed, in which case the process may already be partly narrowed.
int pledge(const char *promises, const char *execpromises);

// The option string that makes getopt stop at the first operand instead of
// reordering the arguments; glibc needs a leading '+' for that, BSD getopt
// would take '+' as an option letter.
#if defined(__GLIBC__)
inline constexpr const char *OPTION_STRING = "+d:ghv";
#else
inline constexpr const char *OPTION_STRING = "d:ghv";
#endif

// Puts in place now, writable, the pages that lie wholly inside [start,
// start + size), so that first use costs no page fault (in a VM a fault can
// cost 10 us or more; a 2 MiB buffer touched page by page, 512 of them).
// Returns true when they are; false where the system cannot (it needs
// Linux 5.14 or later), in which case they come in on first use as always.
// Nothing else changes: the bytes stay as they were.
bool prefault(void *start, std::size_t size);

// The vector instructions the scans of a read buffer may use, narrowest
// first. Every level gives the same answers; PORTABLE is plain C++ (with the
// C library's own string functions) and is all that other architectures and
// a VESTREL_PORTABLE build have.
enum class VectorLevel { PORTABLE, SSE2, AVX2, AVX512 };

// The name of each level, indexed by its value: what VESTREL_VECTOR takes and
// what the program names as this machine's level.
inline constexpr const char *VECTOR_LEVEL_NAMES[] = {"portable", "sse2", "avx2", "avx512"};

// The widest level that this CPU, its operating system (which must save the
// wider registers) and this build all support. Off x86 (arm64, s390x, ...) it
// is PORTABLE: the plain loops, whose newline search is the C library's
// memchr (on arm64 glibc's own NEON form).
VectorLevel cpu_vector_level();

// How many CPUs this process may run on: its affinity mask where the system
// has one (taskset, cgroup cpusets), else the CPUs online; at least 1.
int usable_cpus();

} // namespace vestrel
