// The bytes of a finished message as they travel after DATA, produced piece
// by piece so that a message of any size passes through a fixed amount of
// memory: every line break becomes CRLF (SMTP allows CR and LF only as that
// pair) and a line that begins with "." gets a second one, so no line of the
// message can be read as the end of the data (RFC 5321 section 4.5.2).
#pragma once

#include <QByteArray>
#include <QByteArrayView>

namespace sendmail {

class DataStuffer {
public:
    // Appends the wire form of the next piece of the message to `out`. A
    // lone CR, a lone LF and CRLF each end a line; a CR at the end of a
    // piece waits for the next one to tell which.
    void Feed(QByteArrayView piece, QByteArray &out);
    // What completes the data before the terminating "." line: CRLF when the
    // last line has no line break of its own (or ended in a CR still
    // waiting), else nothing. An empty message needs nothing either.
    [[nodiscard]] QByteArray Finish();

private:
    bool m_LineStart = true;
    bool m_PendingCR = false;
};

} // namespace sendmail
