#include "cli/reporter.h"

#include <algorithm>

namespace kelmsend {

namespace {

const QByteArray kClearLine = "\r\x1b[K";

// A text from the component may span lines (a multi-line reply) and ends
// with the server's CRLF; each line is shown on its own, without CRs.
QStringList displayLines(const QString &text) {
    QString t = text;
    t.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    t.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    t = PrintableText(t);
    while (t.endsWith(QLatin1Char('\n'))) {
        t.chop(1);
    }
    return t.split(QLatin1Char('\n'));
}

} // namespace

QString PrintableText(const QString &text) {
    qsizetype keep = std::min(text.size(), kMaxPrintedChars);
    if (keep < text.size() && keep > 0 && text[keep - 1].isHighSurrogate()) {
        --keep;
    }
    QString out;
    out.reserve(keep + 16);
    for (qsizetype i = 0; i < keep; ++i) {
        const char16_t c = text[i].unicode();
        if ((c < 0x20 && c != u'\t' && c != u'\n') || (c >= 0x7F && c <= 0x9F)) {
            out += QStringLiteral("\\x%1").arg(uint(c), 2, 16, QLatin1Char('0'));
        } else {
            out += text[i];
        }
    }
    if (keep < text.size()) {
        out += QStringLiteral(" [... %1 more characters]").arg(text.size() - keep);
    }
    return out;
}

QString RenderProgressBar(int percent, int width) {
    const int p = std::clamp(percent, 0, 100);
    const int filled = p * width / 100;
    return QLatin1Char('[') + QString(filled, QLatin1Char('#')) +
           QString(width - filled, QLatin1Char(' ')) + QLatin1String("] ") +
           QString::number(p).rightJustified(3) + QLatin1Char('%');
}

Reporter::Reporter(Verbosity verbosity, bool terminal, Writer write, Clock clock)
    : m_Verbosity(verbosity), m_Terminal(terminal), m_Write(std::move(write)),
      m_Clock(std::move(clock)), m_Start(m_Clock()) {}

bool Reporter::showsStatus() const {
    switch (m_Verbosity) {
    case Verbosity::Quiet:
        return false;
    case Verbosity::Default:
        return m_Terminal;
    case Verbosity::Verbose:
    case Verbosity::Trace:
        return true;
    }
    return false;
}

void Reporter::line(const QString &text) {
    const bool redraw = m_BarShown;
    clearBar();
    QByteArray bytes;
    for (const QString &l : displayLines(text)) {
        bytes += l.toUtf8() + '\n';
    }
    m_Write(bytes);
    if (redraw) {
        drawBar();
    }
}

void Reporter::clearBar() {
    if (m_BarShown) {
        m_Write(kClearLine);
        m_BarShown = false;
    }
}

void Reporter::drawBar() {
    m_Write(kClearLine + RenderProgressBar(m_Percent, kProgressBarWidth).toUtf8());
    m_BarShown = true;
}

void Reporter::Status(const QString &text) {
    if (showsStatus()) {
        line(text);
    }
}

void Reporter::Trace(const QVariant &text) {
    if (showsTrace()) {
        line(text.toString());
    }
}

void Reporter::Progress(int percent) {
    if (!m_Terminal || m_Verbosity == Verbosity::Quiet || percent == m_Percent) {
        return;
    }
    m_Percent = percent;
    if (m_BarShown || m_Clock() - m_Start >= kProgressDelayMs) {
        drawBar();
    }
}

void Reporter::Error(const QString &text) {
    line(QStringLiteral("kelmsend: ") + text);
}

void Reporter::Finish() {
    clearBar();
}

} // namespace kelmsend
