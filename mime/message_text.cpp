#include "mime/message_text.h"

#include <QStringList>

namespace sendmail {

namespace {
constexpr qsizetype MaxLine = 998;
} // namespace

QString MessageLineSeparator(const QString &text) {
    if (text.contains(QLatin1String("\r\n"))) {
        return QStringLiteral("\r\n");
    }
    if (text.contains(QLatin1Char('\r'))) {
        return QStringLiteral("\r");
    }
    if (text.contains(QLatin1Char('\n'))) {
        return QStringLiteral("\n");
    }
    return QString();
}

QString PrepareMessageText(const QString &text) {
    if (text.isEmpty()) {
        return text;
    }
    const QString separator = MessageLineSeparator(text);
    const QString breakWith = separator.isEmpty() ? QStringLiteral("\r\n") : separator;
    QStringList lines = separator.isEmpty() ? QStringList{text} : text.split(separator);

    for (QString &line : lines) {
        if (line.startsWith(QLatin1Char('.'))) {
            line.prepend(QLatin1Char('.'));
        }
        if (line.size() <= MaxLine) {
            continue;
        }
        QString out;
        out.reserve(line.size() + line.size() / MaxLine * breakWith.size());
        QStringView rest(line);
        while (rest.size() > MaxLine) {
            // The last space within the first 998 characters stays at the end
            // of its piece; without one, cut after character 998.
            qsizetype space = rest.first(MaxLine).lastIndexOf(QLatin1Char(' '));
            qsizetype cut = space >= 0 ? space + 1 : MaxLine;
            out += rest.first(cut);
            out += breakWith;
            rest = rest.sliced(cut);
        }
        out += rest;
        line = out;
    }
    return lines.join(separator);
}

QString ToWireText(const QString &text) {
    const QString separator = MessageLineSeparator(text);
    QString out;
    out.reserve(text.size() + text.size() / 16);
    const qsizetype n = text.size();
    for (qsizetype i = 0; i < n;) {
        if (!separator.isEmpty() && QStringView(text).sliced(i).startsWith(separator)) {
            out += QLatin1String("\r\n");
            i += separator.size();
            continue;
        }
        const QChar c = text[i];
        ++i;
        if (c == QLatin1Char('\r') || c == QLatin1Char('\n')) {
            out += QLatin1String("\r\n");
            if (i < n && text[i] == QLatin1Char('.')) {
                out += QLatin1Char('.');
            }
            continue;
        }
        out += c;
    }
    return out;
}

bool IsEightBit(const QString &text) {
    for (QChar c : text) {
        if (c.unicode() > 126) {
            return true;
        }
    }
    return false;
}

} // namespace sendmail
