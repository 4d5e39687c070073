#include "compat.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <unistd.h>

namespace vestrel {

int pledge(const char *promises, const char *execpromises) {
#if defined(__OpenBSD__)
    return ::pledge(promises, execpromises);
#else
    (void)promises;
    (void)execpromises;
    return 0;
#endif
}

long long strtonum(const char *text, long long minval, long long maxval, const char **errstr) {
#if defined(VESTREL_HAVE_STRTONUM)
    return ::strtonum(text, minval, maxval, errstr);
#else
    // The same steps as the BSD implementation, so edge cases (a lone sign,
    // trailing bytes, overflow reported by strtoll) agree with it.
    long long value = 0;
    const char *error = nullptr;
    char *end = nullptr;
    int saved_errno = errno;
    if (minval > maxval) {
        error = "invalid";
        errno = EINVAL;
    } else {
        errno = 0;
        value = std::strtoll(text, &end, 10);
        if (end == text || *end != '\0') {
            error = "invalid";
            errno = EINVAL;
        } else if ((value == LLONG_MIN && errno == ERANGE) || value < minval) {
            error = "too small";
            errno = ERANGE;
        } else if ((value == LLONG_MAX && errno == ERANGE) || value > maxval) {
            error = "too large";
            errno = ERANGE;
        } else {
            errno = saved_errno;
        }
    }
    if (errstr != nullptr) *errstr = error;
    return error != nullptr ? 0 : value;
#endif
}

} // namespace vestrel
