#include "net/host_text.h"

#include <QStringList>

#include <arpa/inet.h>
#include <netinet/in.h>

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

bool IsIPv6Literal(const QString &text) {
    // The longest form, eight groups of four digits, is 39 characters; with
    // a dotted tail it is 45 (INET6_ADDRSTRLEN less its terminator).
    if (text.isEmpty() || text.size() >= INET6_ADDRSTRLEN)
        return false;
    // inet_pton reads bytes up to a NUL: anything outside printable ASCII
    // must not reach it, or "::1" followed by a NUL and more would pass.
    for (QChar c : text)
        if (c.unicode() <= u' ' || c.unicode() > u'~')
            return false;
    in6_addr address{};
    return inet_pton(AF_INET6, text.toLatin1().constData(), &address) == 1;
}

QString StripIPv6Brackets(const QString &text) {
    if (text.size() > 2 && text.front() == u'[' && text.back() == u']') {
        const QString inner = text.mid(1, text.size() - 2);
        if (IsIPv6Literal(inner))
            return inner;
    }
    return text;
}

bool IsIPv6Form(const QString &text) {
    return text.contains(u':') || text.contains(u'[') || text.contains(u']');
}

QString SmtpAddressLiteral(const QString &host) {
    const QString bare = StripIPv6Brackets(host);
    return IsIPv6Literal(bare) ? QStringLiteral("[IPv6:") + bare + u']' : host;
}

} // namespace sendmail
