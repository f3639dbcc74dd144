// Assembles a mail server's replies from the pieces the socket delivers,
// keeping no more of one reply than MaxReplyLength.
//
// A reply ends with the first CRLF-terminated line that is not a
// continuation line (fourth character "-"), as SMTP (RFC 5321, 4.2.1)
// writes multi-line replies; a POP3 status line (RFC 1939) ends at its CRLF
// the same way.
#pragma once

#include <QString>

#include <optional>

namespace sendmail {

// Longest reply text that is kept, judged, traced or reported. A peer that
// never ends its reply, or sends continuation lines for ever, cannot make the
// component hold more than this plus one arrival.
constexpr qsizetype MaxReplyLength = 64 * 1024;

// Follows the first MaxReplyLength characters of a reply that was longer.
inline const QString ReplyCutMarker = QStringLiteral(" [reply cut at 65536 bytes]");

struct Reply {
    // As received, line breaks included; a cut reply ends with ReplyCutMarker.
    QString text;
    bool cut = false;
};

class ReplyReader {
public:
    // Takes text as it arrived, one character per byte. The rest of a cut
    // reply is dropped here as it comes, up to and including the CRLF of its
    // last line, so that what follows it is read as the next reply.
    void append(const QString &data);
    // The next reply in arrival order, or nothing until one is complete or
    // has grown past MaxReplyLength.
    std::optional<Reply> next();
    // Forgets everything, for a new connection.
    void clear();
    // Whether the rest of a cut reply is still being dropped.
    bool dropping() const { return m_Dropping; }

private:
    void DropRestOfCutReply();

    // Arrived text from m_Start on is not taken yet; while dropping, only the
    // part of the current line that decides whether another line follows.
    QString m_Buffer;
    qsizetype m_Start = 0;
    bool m_Dropping = false;
};

} // namespace sendmail
