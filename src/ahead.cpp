#include "ahead.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <pthread.h>
#include <signal.h>

namespace vestrel {

// The ring is slots[0, AHEAD_SLOTS): the reader takes from `head`, the
// helper fills `tail`; `ready` blocks lie between them. Everything below the
// lock is guarded by it; `text` is each block's bytes, written by the helper
// only while it is not ready and read by the reader only while it is.
struct Ahead {
    pthread_t thread;
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t filled = PTHREAD_COND_INITIALIZER;  // a block became ready, or the end
    pthread_cond_t emptied = PTHREAD_COND_INITIALIZER; // a block became free, or stop
    Decoder *decoder = nullptr;
    std::size_t head = 0;
    std::size_t tail = 0;
    std::size_t ready = 0;
    std::size_t lengths[AHEAD_SLOTS] = {};
    // How much of the head block the reader has taken.
    std::size_t taken = 0;
    // The helper has finished: after the ready blocks comes the end of the
    // data (status 0) or an error (status -1, error its errno).
    bool finished = false;
    int status = 0;
    int error = 0;
    bool stop = false;
    char *text = nullptr;
};

namespace {

void *decode_ahead(void *arg) {
    Ahead &a = *static_cast<Ahead *>(arg);
    for (;;) {
        pthread_mutex_lock(&a.lock);
        while (a.ready == AHEAD_SLOTS && !a.stop)
            pthread_cond_wait(&a.emptied, &a.lock);
        const bool stop = a.stop;
        const std::size_t slot = a.tail;
        pthread_mutex_unlock(&a.lock);
        if (stop) return nullptr;

        // A whole block before it is handed over: fewer rounds of the lock.
        char *const block = a.text + slot * AHEAD_SLOT;
        std::size_t length = 0;
        ssize_t n = 1;
        while (length < AHEAD_SLOT &&
               (n = decode_some(*a.decoder, block + length, AHEAD_SLOT - length)) > 0)
            length += static_cast<std::size_t>(n);
        const int error = errno;

        pthread_mutex_lock(&a.lock);
        if (length > 0) {
            a.lengths[slot] = length;
            a.tail = (slot + 1) % AHEAD_SLOTS;
            ++a.ready;
        }
        if (n <= 0) {
            a.finished = true;
            a.status = n < 0 ? -1 : 0;
            a.error = error;
        }
        pthread_cond_signal(&a.filled);
        pthread_mutex_unlock(&a.lock);
        if (n <= 0) return nullptr;
    }
}

} // namespace

Ahead *start_ahead(Decoder &d) {
    auto *a = new (std::nothrow) Ahead;
    char *text = static_cast<char *>(std::malloc(AHEAD_SLOTS * AHEAD_SLOT));
    if (a == nullptr || text == nullptr) {
        delete a;
        std::free(text);
        errno = ENOMEM;
        return nullptr;
    }
    a->decoder = &d;
    a->text = text;
    // The helper takes no signal: they stay the reading thread's to handle.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    const int rc = pthread_create(&a->thread, nullptr, decode_ahead, a);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (rc != 0) {
        std::free(text);
        delete a;
        errno = rc;
        return nullptr;
    }
    return a;
}

ssize_t take_ahead(Ahead &a, char *to, std::size_t size) {
    pthread_mutex_lock(&a.lock);
    while (a.ready == 0 && !a.finished)
        pthread_cond_wait(&a.filled, &a.lock);
    std::size_t copied = 0;
    // Every ready block that fits, not only the first: fewer calls.
    while (a.ready > 0 && copied < size) {
        const std::size_t slot = a.head;
        const std::size_t n = std::min(a.lengths[slot] - a.taken, size - copied);
        // The block is the reader's while it is ready: copied without the
        // lock, so that the helper can go on meanwhile.
        pthread_mutex_unlock(&a.lock);
        std::memcpy(to + copied, a.text + slot * AHEAD_SLOT + a.taken, n);
        pthread_mutex_lock(&a.lock);
        copied += n;
        a.taken += n;
        if (a.taken == a.lengths[slot]) {
            a.taken = 0;
            a.head = (slot + 1) % AHEAD_SLOTS;
            --a.ready;
            pthread_cond_signal(&a.emptied);
        }
    }
    ssize_t result = static_cast<ssize_t>(copied);
    if (copied == 0) { // finished, and nothing left
        result = a.status;
        if (a.status < 0) errno = a.error;
    }
    pthread_mutex_unlock(&a.lock);
    return result;
}

void stop_ahead(Ahead *a) {
    if (a == nullptr) return;
    const int saved = errno;
    pthread_mutex_lock(&a->lock);
    a->stop = true;
    pthread_cond_signal(&a->emptied);
    pthread_mutex_unlock(&a->lock);
    pthread_join(a->thread, nullptr);
    pthread_mutex_destroy(&a->lock);
    pthread_cond_destroy(&a->filled);
    pthread_cond_destroy(&a->emptied);
    std::free(a->text);
    delete a;
    errno = saved;
}

} // namespace vestrel
