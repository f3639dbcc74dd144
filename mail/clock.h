// The clocks of the component: seconds since local midnight for the time
// limits of the session, and the local date and time for the message. Both
// can be replaced by tests.
#pragma once

#include <QDateTime>

#include <functional>

namespace sendmail {

// Seconds since local midnight, with fractions.
double SecondsSinceMidnight();
void SetSecondsSinceMidnightSourceForTesting(std::function<double()> source);

// The local date and time that a message is dated with.
QDateTime CurrentDateTime();
void SetCurrentDateTimeSourceForTesting(std::function<QDateTime()> source);

// Measures elapsed seconds on the seconds-since-midnight clock. When the
// clock goes back (it passed midnight) the day that ended is added, so a
// wait across midnight lasts its full limit.
class MidnightStopwatch {
public:
    MidnightStopwatch();
    double Elapsed();

private:
    double m_Start;
    double m_Last;
    double m_Days = 0;
};

} // namespace sendmail
