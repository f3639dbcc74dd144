#include "cli/sendmail/input.h"

#include <cstring>

namespace kelmsend {

HeaderRead ReadHeaderBlock(QIODevice &in, qint64 limit) {
    HeaderRead r;
    bool first = true;
    for (;;) {
        const qint64 room = limit - r.block.fields.size();
        // One byte more than there is room for tells a line that is too long
        // (readLine's limit counts a terminating NUL).
        const QByteArray read = in.readLine(room + 2);
        if (read.isEmpty()) {
            return r; // the input ended within the header block
        }
        if (read.size() > room) {
            r.error = "the message's header block is longer than " + QString::number(limit / 1024) +
                      " KiB; a blank line must end it before the body";
            return r;
        }
        // What readLine gives ends at an LF; a lone CR inside it ends a
        // line as well, on the wire and so here.
        for (qsizetype start = 0; start < read.size();) {
            const qsizetype end = LineEnd(read, start);
            const QByteArray line = read.mid(start, end - start);
            const QByteArray rest = read.mid(end);
            start = end;
            if (line == "\n" || line == "\r\n" || line == "\r") {
                r.block.separator = line;
                r.block.bodyStart = rest;
                return r;
            }
            const bool mboxSeparator = first && line.startsWith("From ");
            first = false;
            if (mboxSeparator) {
                continue;
            }
            const bool continuation =
                (line[0] == ' ' || line[0] == '\t') && !r.block.fields.isEmpty();
            if (!continuation && !IsFieldLine(line)) {
                r.block.bodyStart = line + rest;
                return r;
            }
            r.block.fields += line;
        }
    }
}

HeadThenBody::HeadThenBody(QByteArray head, QIODevice &body)
    : m_Head(std::move(head)), m_Body(body), m_BodyStart(body.isSequential() ? 0 : body.pos()) {}

bool HeadThenBody::isSequential() const {
    return m_Body.isSequential();
}

qint64 HeadThenBody::size() const {
    if (isSequential()) {
        return bytesAvailable();
    }
    return m_Head.size() + m_Body.size() - m_BodyStart;
}

bool HeadThenBody::seek(qint64 pos) {
    if (isSequential() || pos < 0 || !QIODevice::seek(pos)) {
        return false;
    }
    m_HeadPos = std::min<qint64>(pos, m_Head.size());
    return m_Body.seek(m_BodyStart + pos - m_HeadPos);
}

qint64 HeadThenBody::readData(char *data, qint64 maxSize) {
    qint64 done = 0;
    if (m_HeadPos < m_Head.size()) {
        done = std::min(maxSize, m_Head.size() - m_HeadPos);
        std::memcpy(data, m_Head.constData() + m_HeadPos, static_cast<size_t>(done));
        m_HeadPos += done;
    }
    if (done < maxSize) {
        const qint64 n = m_Body.read(data + done, maxSize - done);
        if (n < 0) {
            return done > 0 ? done : -1;
        }
        done += n;
    }
    return done;
}

qint64 HeadThenBody::writeData(const char *, qint64) {
    return -1;
}

} // namespace kelmsend
