#include "net/host_text.h"

#include <QStringList>

namespace sendmail {

namespace {

const QChar kBlank = u' ';

// Whether numeric text stays at or below `limit`. Any negative number does;
// digit strings of any length are compared without overflowing.
bool NumericAtMost(QStringView text, int limit) {
    if (text.front() == u'-')
        return true;
    if (text.front() == u'+')
        text = text.mid(1);
    long long value = 0;
    for (QChar c : text) {
        value = value * 10 + (c.unicode() - u'0');
        if (value > limit)
            return false;
    }
    return true;
}

} // namespace

bool IsNumericText(QStringView text) {
    if (!text.isEmpty() && (text.front() == u'+' || text.front() == u'-'))
        text = text.mid(1);
    if (text.isEmpty())
        return false;
    for (QChar c : text)
        if (c < u'0' || c > u'9')
            return false;
    return true;
}

QString TrimBlanks(const QString &text) {
    qsizetype first = 0, last = text.size();
    while (first < last && text.at(first) == kBlank)
        ++first;
    while (last > first && text.at(last - 1) == kBlank)
        --last;
    return text.mid(first, last - first);
}

bool IsDottedAddress(const QString &text) {
    const QStringList pieces = text.split(u'.');
    if (pieces.size() != 4)
        return false;
    for (qsizetype i = 0; i < pieces.size(); ++i) {
        const QString &piece = pieces.at(i);
        if (!IsNumericText(piece) || !NumericAtMost(piece, i == 0 ? 239 : 255))
            return false;
    }
    return true;
}

} // namespace sendmail
