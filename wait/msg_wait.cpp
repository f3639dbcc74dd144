#include "wait/msg_wait.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <memory>
#include <poll.h>
#include <vector>

namespace mdlMsgWaitObj {

namespace {

TickSource &tickSource() {
    static TickSource source;
    return source;
}

uint32_t monotonicTick() {
    using namespace std::chrono;
    auto ms = duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    return static_cast<uint32_t>(ms);
}

// Tick arithmetic is modulo 2^32, read back as signed.
int32_t wrapAdd(uint32_t a, int32_t b) {
    return static_cast<int32_t>(a + static_cast<uint32_t>(b));
}
int32_t wrapSub(int32_t a, uint32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) - b);
}

// The first readable handle's index, `count` when none is readable, or
// WAIT_FAILED when a descriptor is not open or poll itself fails.
int32_t readableHandle(const int *handles, int32_t count, int timeoutMs) {
    count = std::max(count, 0);
    std::vector<pollfd> fds(static_cast<size_t>(count));
    for (int32_t i = 0; i < count; ++i) {
        fds[static_cast<size_t>(i)] = pollfd{handles[i], POLLIN, 0};
    }
    int rc;
    do {
        rc = ::poll(fds.data(), fds.size(), timeoutMs);
    } while (rc < 0 && errno == EINTR);
    if (rc < 0) {
        return WAIT_FAILED;
    }
    for (int32_t i = 0; i < count; ++i) {
        short ev = fds[static_cast<size_t>(i)].revents;
        if (ev & POLLNVAL) {
            return WAIT_FAILED;
        }
        if (ev & (POLLIN | POLLHUP | POLLERR)) {
            return i;
        }
    }
    return count;
}

void dispatchPending() {
    if (QCoreApplication::instance() == nullptr) {
        return;
    }
    // Posted events first, then whatever the dispatcher has ready; repeated
    // until nothing more is pending so that events posted by handlers run too.
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

// Sleeps in the thread's event dispatcher until an event arrives, a handle
// becomes readable or `remaining` ms pass (-1: no limit). Returns the index
// of a readable handle, WAIT_TIMEOUT, WAIT_FAILED, or `count` for "new input".
int32_t waitOnce(const int *handles, int32_t count, int32_t remaining) {
    QAbstractEventDispatcher *dispatcher =
        QAbstractEventDispatcher::instance(QThread::currentThread());
    if (QCoreApplication::instance() == nullptr || dispatcher == nullptr) {
        // No event loop on this thread: only the handles and the clock count.
        int32_t status = readableHandle(handles, count, remaining < 0 ? -1 : remaining);
        return status == count ? WAIT_TIMEOUT : status;
    }

    int32_t status = readableHandle(handles, count, 0);
    if (status != count) {
        return status;
    }

    bool timedOut = false;
    QTimer bound;
    if (remaining >= 0) {
        // A precise timer: the coarse default may fire up to 5 % early.
        bound.setTimerType(Qt::PreciseTimer);
        bound.setSingleShot(true);
        QObject::connect(&bound, &QTimer::timeout, [&timedOut] { timedOut = true; });
        bound.start(remaining);
    }
    std::vector<std::unique_ptr<QSocketNotifier>> notifiers;
    for (int32_t i = 0; i < count; ++i) {
        notifiers.push_back(std::make_unique<QSocketNotifier>(handles[i], QSocketNotifier::Read));
    }

    dispatcher->processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);

    status = readableHandle(handles, count, 0);
    if (status != count) {
        return status;
    }
    return timedOut ? WAIT_TIMEOUT : count;
}

} // namespace

uint32_t GetTickCount() {
    const TickSource &source = tickSource();
    return source ? source() : monotonicTick();
}

void SetTickSource(TickSource source) {
    tickSource() = std::move(source);
}

int32_t MessagePumpWait(const int32_t &interval, const int &handles, const int32_t &count) {
    const int *handleArray = &handles;
    const int32_t handleCount = std::max(count, 0);
    int32_t deadline = 0;
    int32_t remaining = -1;
    if (interval != -1) {
        deadline = wrapAdd(GetTickCount(), interval);
    }
    for (;;) {
        if (interval != -1) {
            remaining = wrapSub(deadline, GetTickCount());
            // Expired when the remaining time is negative, or larger than the
            // whole interval (the clock has passed the deadline by more than
            // half the tick range). Comparing signs through XOR keeps this
            // right when the deadline lies across the wrap.
            bool expired = (remaining ^ interval) > 0 ? remaining > interval : remaining < 0;
            if (expired) {
                return WAIT_TIMEOUT;
            }
        }
        int32_t status = waitOnce(handleArray, handleCount, remaining);
        dispatchPending();
        if (status != handleCount) {
            return status;
        }
    }
}

} // namespace mdlMsgWaitObj
