// What kelmsend tells the person or script that runs it, on standard error:
// the component's status texts, its protocol trace, a progress bar and the
// errors. The policy:
//
// - errors always ("kelmsend: " + text);
// - status texts on a terminal, or anywhere with --verbose or --trace, never
//   with --quiet;
// - the protocol trace (DebugPrint) only with --trace;
// - the progress bar only on a terminal, not with --quiet, and only once a
//   send has run for kProgressDelayMs, so short sends do not flash one.
//   Other output first clears the bar's line and draws it again afterwards.
#pragma once

#include "cli/options.h"

#include <QByteArray>
#include <QString>
#include <QVariant>

#include <functional>

namespace kelmsend {

inline constexpr qint64 kProgressDelayMs = 500;
inline constexpr int kProgressBarWidth = 40;

// "[########                                ]  20%" for 20 percent and width 40.
[[nodiscard]] QString RenderProgressBar(int percent, int width);

class Reporter {
public:
    using Writer = std::function<void(const QByteArray &bytes)>;
    using Clock = std::function<qint64()>; // milliseconds, monotonic

    Reporter(Verbosity verbosity, bool terminal, Writer write, Clock clock);

    bool showsStatus() const;
    bool showsTrace() const { return m_Verbosity == Verbosity::Trace; }

    void Status(const QString &text);
    void Trace(const QVariant &text);
    void Progress(int percent);
    void Error(const QString &text);
    // Clears the progress bar, if one is drawn. Call before the program ends.
    void Finish();

private:
    void line(const QString &text);
    void clearBar();
    void drawBar();

    Verbosity m_Verbosity;
    bool m_Terminal;
    Writer m_Write;
    Clock m_Clock;
    qint64 m_Start;
    int m_Percent = -1;
    bool m_BarShown = false;
};

} // namespace kelmsend
