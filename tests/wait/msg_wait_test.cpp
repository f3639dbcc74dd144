#include "wait/msg_wait.h"

#include <QCoreApplication>
#include <QTimer>
#include <gtest/gtest.h>

#include <chrono>
#include <sys/eventfd.h>
#include <unistd.h>

using namespace mdlMsgWaitObj;
using Clock = std::chrono::steady_clock;

namespace {

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

struct TickGuard {
    ~TickGuard() { SetTickSource({}); }
};

// Counts how often a posted event reached its receiver, and when.
class Recorder : public QObject {
public:
    int seen = 0;
    double atMs = -1;
    Clock::time_point start = Clock::now();

protected:
    bool event(QEvent *e) override {
        if (e->type() == QEvent::User) {
            ++seen;
            atMs = msSince(start);
            return true;
        }
        return QObject::event(e);
    }
};

const int kNoHandle = 0;

} // namespace

TEST(MessagePumpWait, IdleIntervalEndsWithTimeoutAfterTheInterval) {
    const int32_t interval = 25, count = 0;
    auto start = Clock::now();
    EXPECT_EQ(MessagePumpWait(interval, kNoHandle, count), WAIT_TIMEOUT);
    double elapsed = msSince(start);
    EXPECT_GE(elapsed, 24.0);
    EXPECT_LT(elapsed, 500.0);
}

TEST(MessagePumpWait, EventArrivingMidWaitIsDispatchedAndTheWaitResumes) {
    Recorder recorder;
    QTimer::singleShot(10, Qt::PreciseTimer, &recorder, [&recorder] {
        QCoreApplication::postEvent(&recorder, new QEvent(QEvent::User));
    });
    // An interval long enough that a loaded machine cannot blur "when it
    // arrives" into "at the end".
    const int32_t interval = 600, count = 0;
    recorder.start = Clock::now();
    EXPECT_EQ(MessagePumpWait(interval, kNoHandle, count), WAIT_TIMEOUT);
    double elapsed = msSince(recorder.start);
    EXPECT_EQ(recorder.seen, 1);
    EXPECT_GE(recorder.atMs, 9.0);
    EXPECT_LT(recorder.atMs, 400.0) << "the event should run when it arrives, not at the end";
    EXPECT_GE(elapsed, 599.0) << "new input must not end the wait early";
    EXPECT_LT(elapsed, 5000.0);
}

TEST(MessagePumpWait, ZeroIntervalDispatchesWhatIsPendingAndReturns) {
    Recorder recorder;
    QCoreApplication::postEvent(&recorder, new QEvent(QEvent::User));
    QCoreApplication::postEvent(&recorder, new QEvent(QEvent::User));
    const int32_t interval = 0, count = 0;
    auto start = Clock::now();
    EXPECT_EQ(MessagePumpWait(interval, kNoHandle, count), WAIT_TIMEOUT);
    EXPECT_LT(msSince(start), 2000.0);
    EXPECT_EQ(recorder.seen, 2);
}

TEST(MessagePumpWait, ReadableHandleReturnsItsIndexAfterDispatching) {
    int fds[2] = {eventfd(0, EFD_NONBLOCK), eventfd(0, EFD_NONBLOCK)};
    ASSERT_GE(fds[0], 0);
    ASSERT_GE(fds[1], 0);
    uint64_t one = 1;
    ASSERT_EQ(write(fds[1], &one, sizeof one), static_cast<ssize_t>(sizeof one));
    Recorder recorder;
    QCoreApplication::postEvent(&recorder, new QEvent(QEvent::User));

    const int32_t interval = 5000, count = 2;
    auto start = Clock::now();
    EXPECT_EQ(MessagePumpWait(interval, fds[0], count), 1);
    EXPECT_LT(msSince(start), 1000.0);
    EXPECT_EQ(recorder.seen, 1) << "pending events are dispatched before returning";
    close(fds[0]);
    close(fds[1]);
}

TEST(MessagePumpWait, HandleSignalledDuringTheWaitEndsIt) {
    int fd = eventfd(0, EFD_NONBLOCK);
    ASSERT_GE(fd, 0);
    QTimer::singleShot(20, Qt::PreciseTimer, [fd] {
        uint64_t one = 1;
        (void)!write(fd, &one, sizeof one);
    });
    const int32_t interval = 5000, count = 1;
    auto start = Clock::now();
    EXPECT_EQ(MessagePumpWait(interval, fd, count), 0);
    double elapsed = msSince(start);
    EXPECT_GE(elapsed, 15.0);
    EXPECT_LT(elapsed, 1000.0);
    close(fd);
}

TEST(MessagePumpWait, ClosedHandleIsAFailedWait) {
    int fd = eventfd(0, 0);
    ASSERT_GE(fd, 0);
    close(fd);
    const int32_t interval = 1000, count = 1;
    EXPECT_EQ(MessagePumpWait(interval, fd, count), WAIT_FAILED);
}

// The deadline is computed on a 32-bit tick; put "now" just before each of
// the two wrap points (signed and unsigned) so the deadline lies across it.
class TickWrap : public ::testing::TestWithParam<uint32_t> {};

TEST_P(TickWrap, DeadlineAcrossTheWrapWaitsTheFullInterval) {
    TickGuard guard;
    const uint32_t before = GetParam();
    const auto origin = Clock::now();
    SetTickSource([before, origin] {
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - origin);
        return before + static_cast<uint32_t>(ms.count());
    });
    const int32_t interval = 25, count = 0;
    auto start = Clock::now();
    EXPECT_EQ(MessagePumpWait(interval, kNoHandle, count), WAIT_TIMEOUT);
    double elapsed = msSince(start);
    EXPECT_GE(elapsed, 24.0) << "ended early across the wrap";
    EXPECT_LT(elapsed, 2000.0) << "waited far beyond the interval across the wrap";
}

INSTANTIATE_TEST_SUITE_P(Wraps, TickWrap,
                         ::testing::Values(0x7FFFFFF0u, 0xFFFFFFF0u, 0x7FFFFFFFu, 0xFFFFFFFFu));

TEST(MessagePumpWait, ClockFarPastTheDeadlineCountsAsExpired) {
    // A tick that jumps by more than half the range between two readings
    // makes the remaining time look larger than the interval: expired.
    TickGuard guard;
    int calls = 0;
    SetTickSource([&calls]() -> uint32_t { return calls++ == 0 ? 1000u : 1000u + 0x90000000u; });
    const int32_t interval = 60000, count = 0;
    auto start = Clock::now();
    EXPECT_EQ(MessagePumpWait(interval, kNoHandle, count), WAIT_TIMEOUT);
    EXPECT_LT(msSince(start), 1000.0);
}
