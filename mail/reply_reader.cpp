#include "mail/reply_reader.h"

namespace sendmail {

namespace {

const QString CRLF = QStringLiteral("\r\n");

bool isContinuation(const QString &text, qsizetype lineStart, qsizetype lineLength) {
    return lineLength >= 4 && text[lineStart + 3] == QLatin1Char('-');
}

// End of the first complete reply that starts at `from`, or -1 when it is not
// complete yet.
qsizetype completeReplyEnd(const QString &buffer, qsizetype from) {
    qsizetype lineStart = from;
    for (;;) {
        const qsizetype crlf = buffer.indexOf(CRLF, lineStart);
        if (crlf < 0) {
            return -1;
        }
        const bool continuation = isContinuation(buffer, lineStart, crlf - lineStart);
        lineStart = crlf + 2;
        if (!continuation) {
            return lineStart;
        }
    }
}

} // namespace

void ReplyReader::append(const QString &data) {
    // Replies taken since the last arrival leave in one move, not one each.
    m_Buffer.remove(0, m_Start);
    m_Start = 0;
    m_Buffer += data;
    if (m_Dropping) {
        DropRestOfCutReply();
    }
}

std::optional<Reply> ReplyReader::next() {
    if (m_Dropping || m_Start >= m_Buffer.size()) {
        return std::nullopt;
    }
    const qsizetype end = completeReplyEnd(m_Buffer, m_Start);
    if (end >= 0) {
        const qsizetype length = end - m_Start;
        Reply reply;
        reply.cut = length > MaxReplyLength;
        reply.text = reply.cut ? m_Buffer.mid(m_Start, MaxReplyLength) + ReplyCutMarker
                               : m_Buffer.mid(m_Start, length);
        m_Start = end;
        return reply;
    }
    if (m_Buffer.size() - m_Start <= MaxReplyLength) {
        return std::nullopt;
    }
    Reply reply{m_Buffer.mid(m_Start, MaxReplyLength) + ReplyCutMarker, true};
    // Every line before the last CRLF was a continuation line (else the reply
    // would be complete), so the unfinished last line decides what follows.
    const qsizetype lastCrlf = m_Buffer.lastIndexOf(CRLF);
    m_Buffer.remove(0, lastCrlf < m_Start ? m_Start : lastCrlf + 2);
    m_Start = 0;
    m_Dropping = true;
    DropRestOfCutReply();
    return reply;
}

void ReplyReader::clear() {
    m_Buffer.clear();
    m_Start = 0;
    m_Dropping = false;
}

// m_Buffer starts at the beginning of a line of the cut reply.
void ReplyReader::DropRestOfCutReply() {
    qsizetype lineStart = 0;
    for (;;) {
        const qsizetype crlf = m_Buffer.indexOf(CRLF, lineStart);
        if (crlf < 0) {
            break;
        }
        const bool continuation = isContinuation(m_Buffer, lineStart, crlf - lineStart);
        lineStart = crlf + 2;
        if (!continuation) {
            m_Start = lineStart;
            m_Dropping = false;
            return;
        }
    }
    m_Buffer.remove(0, lineStart);
    // Keep what the rest of the line needs: its first four characters (the
    // fourth says whether another line follows) and a CR that a LF in the next
    // arrival would complete. A CR among the four is blanked so that it cannot
    // meet that LF across the characters dropped between them.
    if (m_Buffer.size() > 5) {
        QString head = m_Buffer.left(4);
        head.replace(QLatin1Char('\r'), QLatin1Char(' '));
        if (m_Buffer.endsWith(QLatin1Char('\r'))) {
            head += QLatin1Char('\r');
        }
        m_Buffer = head;
    }
}

} // namespace sendmail
