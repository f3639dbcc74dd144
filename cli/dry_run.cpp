#include "cli/dry_run.h"

#include "mime/encoders.h"

#include <QFile>

namespace kelmsend {

namespace {

const QString kCannotWrite = QStringLiteral("cannot write standard output");

QString streamFile(const QString &path, sendmail::FileEncoding encoding, const ByteSink &sink) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return "cannot read " + path + ": " + file.errorString();
    }
    const qint64 block = encoding == sendmail::FileEncoding::Base64 ? sendmail::kBase64ChunkBytes
                                                                    : sendmail::kUULineBytes;
    // Whole uuencoded lines are gathered into larger writes; the bytes are
    // the same as line by line.
    QByteArray pending;
    for (;;) {
        QByteArray bytes = file.read(block);
        if (bytes.isEmpty()) {
            if (file.error() != QFileDevice::NoError) {
                return "cannot read " + path + ": " + file.errorString();
            }
            break;
        }
        if (encoding == sendmail::FileEncoding::Base64) {
            if (!sink(sendmail::EncodeBase64Bytes(bytes))) {
                return kCannotWrite;
            }
        } else {
            pending += encoding == sendmail::FileEncoding::UUEncode
                           ? sendmail::UUEncodedDataLine(bytes)
                           : sendmail::QuotedPrintableUUEncodedDataLine(bytes);
            if (pending.size() >= 64 * 1024) {
                if (!sink(pending)) {
                    return kCannotWrite;
                }
                pending.clear();
            }
        }
    }
    if (!pending.isEmpty() && !sink(pending)) {
        return kCannotWrite;
    }
    return QString();
}

} // namespace

QString WriteWireMessage(const sendmail::MessageDraft &draft, const QStringList &attachmentPaths,
                         const ByteSink &sink) {
    using Kind = sendmail::Transmission::Kind;
    for (const sendmail::Transmission &t : sendmail::ComposeMessage(draft)) {
        switch (t.kind) {
        case Kind::Text:
        case Kind::EndOfData:
            if (!sink(t.bytes())) {
                return kCannotWrite;
            }
            break;
        case Kind::FileData:
            if (t.attachment < 0 || t.attachment >= attachmentPaths.size()) {
                return "no file for attachment " + QString::number(t.attachment + 1);
            }
            if (QString problem = streamFile(attachmentPaths[t.attachment], t.encoding, sink);
                !problem.isEmpty()) {
                return problem;
            }
            break;
        case Kind::AttachmentStart:
        case Kind::AttachmentDone:
            break;
        }
    }
    return QString();
}

} // namespace kelmsend
