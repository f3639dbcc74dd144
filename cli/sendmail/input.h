// Standard input in sendmail mode: the header block is read (and kept in
// memory, up to a limit), the body is not; HeadThenBody hands the prepared
// header block and then the body to the component as one device.
#pragma once

#include "cli/sendmail/headers.h"

#include <QByteArray>
#include <QIODevice>
#include <QString>

namespace kelmsend {

// The longest header block kelmsend takes; a blank line must end it before.
inline constexpr qint64 kMaxHeaderBytes = 1024 * 1024;

struct HeaderRead {
    HeaderBlock block;
    QString error; // "" when the block could be read
};

// Reads lines from `in` (ended as LineEnd says: CRLF, a lone LF or a lone
// CR) up to and including the blank line that ends the header block, or up
// to the first line that cannot belong to a field (it becomes
// block.bodyStart), or to the end of the input. A first line
// "From " (an mbox separator, as in a file from git format-patch) is not a
// field and is dropped. Everything after what it returns is left unread in
// `in`.
[[nodiscard]] HeaderRead ReadHeaderBlock(QIODevice &in, qint64 limit = kMaxHeaderBytes);

// A read-only device that yields `head` and then what `body` holds from
// its current position on. It is random-access (with a size) when `body`
// is. `body` must stay open while this device is read.
class HeadThenBody : public QIODevice {
public:
    HeadThenBody(QByteArray head, QIODevice &body);
    bool isSequential() const override;
    qint64 size() const override;
    bool seek(qint64 pos) override;

protected:
    qint64 readData(char *data, qint64 maxSize) override;
    qint64 writeData(const char *data, qint64 maxSize) override;

private:
    QByteArray m_Head;
    qint64 m_HeadPos = 0;
    QIODevice &m_Body;
    qint64 m_BodyStart;
};

} // namespace kelmsend
