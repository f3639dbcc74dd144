#include "mail/clock.h"

#include <QElapsedTimer>
#include <QTime>

#include <cmath>

namespace sendmail {

namespace {
std::function<double()> &midnightSource() {
    static std::function<double()> source;
    return source;
}
std::function<QDateTime()> &dateTimeSource() {
    static std::function<QDateTime()> source;
    return source;
}
} // namespace

QDateTime CurrentDateTime() {
    if (const auto &source = dateTimeSource()) {
        return source();
    }
    return QDateTime::currentDateTime();
}

void SetCurrentDateTimeSourceForTesting(std::function<QDateTime()> source) {
    dateTimeSource() = std::move(source);
}

double SecondsSinceMidnight() {
    if (const auto &source = midnightSource()) {
        return source();
    }
    // Local time is read once: reading it on every poll of every wait costs
    // a look at the zone file each time. From then on the monotonic clock
    // advances it, wrapping at midnight like the wall clock.
    static const double base = QTime::currentTime().msecsSinceStartOfDay() / 1000.0;
    static const QElapsedTimer since = [] {
        QElapsedTimer t;
        t.start();
        return t;
    }();
    return std::fmod(base + static_cast<double>(since.nsecsElapsed()) / 1e9, 86400.0);
}

void SetSecondsSinceMidnightSourceForTesting(std::function<double()> source) {
    midnightSource() = std::move(source);
}

MidnightStopwatch::MidnightStopwatch() : m_Start(SecondsSinceMidnight()), m_Last(m_Start) {}

double MidnightStopwatch::Elapsed() {
    double now = SecondsSinceMidnight();
    // Only a jump back of more than half a day is midnight; a small step
    // back (the clock being set) is not a new day.
    if (m_Last - now > 43200.0) {
        m_Days += 86400.0;
    }
    m_Last = now;
    return now + m_Days - m_Start;
}

} // namespace sendmail
