// Platform shims: the few BSD interfaces the program relies on, provided here
// where the C library lacks them, with the semantics of the BSD originals.
//
// Nothing here keeps state; every function is safe to call at any time.
#pragma once

namespace vestrel {

// Narrows the process to the given promises where the system can (OpenBSD's
// pledge); elsewhere accepts them unchanged. Returns 0 on success, -1 with
// errno set on failure.
int pledge(const char *promises, const char *execpromises);

// Parses `text` as a base-10 integer in [minval, maxval] as strtoll does
// (leading white space and one sign allowed) and accepts it only when at least
// one digit was read, the whole text was consumed and the value is in range.
// On success returns the value and sets *errstr to nullptr; on failure returns
// 0 and sets *errstr to "invalid", "too small" or "too large" (errno EINVAL or
// ERANGE), as BSD strtonum does.
long long strtonum(const char *text, long long minval, long long maxval, const char **errstr);

// The option string that makes getopt stop at the first operand instead of
// reordering the arguments; glibc needs a leading '+' for that, BSD getopt
// would take '+' as an option letter.
#if defined(__GLIBC__)
inline constexpr const char *OPTION_STRING = "+d:ghv";
#else
inline constexpr const char *OPTION_STRING = "d:ghv";
#endif

} // namespace vestrel
