// Building the MX query and walking the answer (RFC 1035 sections 4.1.1 to
// 4.1.4 and 3.3.9). Pure functions over bytes: no socket, no module state.
//
// The answer comes from the network and is treated as hostile: every read is
// checked against the received length and compression pointers cannot loop.
#include "dns/mx_internal.h"

#include <stdexcept>

namespace modMXQuery {

namespace {

void appendU16(QByteArray &out, quint16 v) {
    out.append(static_cast<char>(v >> 8));
    out.append(static_cast<char>(v & 0xFF));
}

bool readU16(const QByteArray &m, int at, quint16 &v) {
    if (at < 0 || at > m.size() - 2)
        return false;
    v = static_cast<quint16>((static_cast<uchar>(m[at]) << 8) | static_cast<uchar>(m[at + 1]));
    return true;
}

} // namespace

QByteArray EncodeQueryName(const QString &Domain) {
    QByteArray out;
    if (Domain.isEmpty())
        return out;
    for (const QString &label : Domain.split(QLatin1Char('.'))) {
        // The length travels in one byte.
        if (label.size() > 255)
            throw std::invalid_argument("Domain label longer than 255 characters");
        out.append(static_cast<char>(label.size()));
        out.append(label.toLatin1());
    }
    return out;
}

QByteArray BuildQueryMessage(const QString &Domain) {
    QByteArray name = EncodeQueryName(Domain);
    // 12 header bytes, the name and its zero byte, type and class.
    if (12 + name.size() + 1 + 4 > kMaxQueryMessageSize)
        throw std::invalid_argument("Domain name too long for an MX query");
    QByteArray m;
    m.reserve(17 + name.size());
    appendU16(m, kQueryIdentifier);
    m.append('\x01'); // recursion desired, nothing else
    m.append('\x00');
    appendU16(m, 1); // one question
    appendU16(m, 0);
    appendU16(m, 0);
    appendU16(m, 0);
    m.append(name);
    m.append('\x00');
    appendU16(m, kTypeMX);
    appendU16(m, 1); // class Internet
    return m;
}

bool ReadDomainName(const QByteArray &Message, int &Position, QString &Name) {
    const int size = static_cast<int>(Message.size());
    int at = Position;
    bool jumped = false;
    // A walk without a loop reads every byte of the message at most once, so
    // reading more bytes than the message holds means a pointer loop.
    int budget = size;
    for (;;) {
        if (at < 0 || at >= size)
            return false;
        const int b = static_cast<uchar>(Message[at]);
        if (b == 0) {
            if (!jumped)
                Position = at + 1;
            return true;
        }
        if ((b & 0xC0) == 0xC0) {
            if (at + 1 >= size || (budget -= 2) < 0)
                return false;
            if (!jumped)
                Position = at + 2; // the caller continues after the pointer
            jumped = true;
            at = (b & 0x3F) * 256 + static_cast<uchar>(Message[at + 1]);
            continue;
        }
        // Any other value is a label length (up to 191).
        if (b > size - at - 1 || (budget -= 1 + b) < 0)
            return false;
        // Byte by byte through the array's own accessor, so that the
        // sanitizer build checks each read against the message.
        for (int i = at + 1; i <= at + b; ++i)
            Name += QLatin1Char(Message[i]);
        at += 1 + b;
        if (at < size && Message[at] != 0)
            Name += QLatin1Char('.');
    }
}

QString ParseMXAnswers(const QByteArray &Message, int Position, int Count) {
    QString best;
    quint16 bestPreference = 0;
    int at = Position;

    QString question;
    if (!ReadDomainName(Message, at, question))
        return best;
    at += 4; // question type and class

    for (; Count > 0; --Count) {
        QString owner;
        quint16 type = 0;
        if (!ReadDomainName(Message, at, owner) || !readU16(Message, at, type))
            break;
        // Only the MX records that come first count: an alias or any other
        // record ends the walk.
        if (type != kTypeMX)
            break;
        at += 2 + 2 + 4 + 2; // type, class, time to live, data length
        quint16 preference = 0;
        if (!readU16(Message, at, preference))
            break;
        at += 2;
        QString exchange;
        if (!ReadDomainName(Message, at, exchange))
            break;
        // A null MX (the root name) names no exchange. Among equal
        // preferences the first record keeps its place.
        if (!internal::trimSpaces(exchange).isEmpty() &&
            (best.isEmpty() || preference < bestPreference)) {
            best = exchange;
            bestPreference = preference;
        }
    }
    return best;
}

} // namespace modMXQuery
