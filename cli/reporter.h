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
//
// Texts may hold what a server said, so each is passed through
// PrintableText before it reaches the terminal.
#pragma once

#include "cli/options.h"

#include <QByteArray>
#include <QString>
#include <QVariant>

#include <functional>

namespace kelmsend {

inline constexpr qint64 kProgressDelayMs = 500;
inline constexpr int kProgressBarWidth = 40;

// The most characters of one text (a status, a trace entry, an error, a
// line of the probe's report) that are printed.
inline constexpr qsizetype kMaxPrintedChars = 2000;

// `text` made harmless for a terminal: every C0 control character but TAB
// and LF, DEL and the C1 controls (U+0080 to U+009F) are written as "\x1b"
// and the like, so a server's reply cannot retitle or clear the terminal;
// after kMaxPrintedChars characters it is cut, with " [... N more
// characters]". The component's events keep the full text.
[[nodiscard]] QString PrintableText(const QString &text);

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
