#include "mail/data_stream.h"

namespace sendmail {

void DataStuffer::Feed(QByteArrayView piece, QByteArray &out) {
    const char *p = piece.data();
    const char *const end = p + piece.size();
    while (p < end) {
        if (m_PendingCR) {
            m_PendingCR = false;
            out += "\r\n";
            m_LineStart = true;
            if (*p == '\n') {
                ++p;
                continue;
            }
        }
        if (*p == '\r') {
            m_PendingCR = true;
            ++p;
            continue;
        }
        if (*p == '\n') {
            out += "\r\n";
            m_LineStart = true;
            ++p;
            continue;
        }
        if (m_LineStart && *p == '.') {
            out += '.';
        }
        // The rest of the line up to its break goes out in one copy: a large
        // message is mostly such runs.
        const char *q = p;
        while (q < end && *q != '\r' && *q != '\n') {
            ++q;
        }
        out.append(p, q - p);
        p = q;
        m_LineStart = false;
    }
}

QByteArray DataStuffer::Finish() {
    const bool open = m_PendingCR || !m_LineStart;
    m_PendingCR = false;
    m_LineStart = true;
    return open ? QByteArrayLiteral("\r\n") : QByteArray();
}

} // namespace sendmail
