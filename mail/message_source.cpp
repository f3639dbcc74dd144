#include "mail/message_source.h"

#include "mail/clock.h"
#include "mime/addresses.h"
#include "mime/encoders.h"

#include <QIODevice>

namespace sendmail {

namespace {

// Bytes read from a relayed message per piece: few pieces for a large
// message, and nothing worth mentioning held at a time.
constexpr qint64 RelayChunk = 64 * 1024;
// Uuencoded lines handed out together: one piece is about 3 KB.
constexpr int UULinesPerPiece = 50;

DataPiece failure(const QString &text) {
    DataPiece p;
    p.kind = DataPiece::Kind::Failure;
    p.text = text;
    return p;
}

} // namespace

// ---- ComposedMessage ---------------------------------------------------------

ComposedMessage::ComposedMessage(MessageDraft draft, QStringList attachmentPaths,
                                 QStringList envelopeRecipients)
    : m_Draft(std::move(draft)), m_Paths(std::move(attachmentPaths)),
      m_Recipients(std::move(envelopeRecipients)) {}

std::optional<QString> ComposedMessage::Prepare(const SmtpExtensions &offered, Envelope &out) {
    // Addresses outside ASCII go as they are to a server that offers
    // SMTPUTF8, and with A-label domains to any other; one that cannot be
    // written in ASCII fails the send before the envelope.
    const bool smtpUtf8 = offered.smtpUtf8 && HasInternationalAddress(m_Draft);
    if (!smtpUtf8) {
        if (const QString problem = AddressProblem(m_Draft); !problem.isEmpty()) {
            return problem;
        }
    }
    m_Draft.smtpUtf8 = smtpUtf8;
    const auto wire = [smtpUtf8](const QString &address) {
        return WireAddress(address, smtpUtf8).value_or(address);
    };
    out.sender = wire(m_Draft.from);
    out.recipients.clear();
    for (const QString &address : m_Recipients) {
        out.recipients << wire(address);
    }
    out.parameters.clear();
    if (offered.eightBitMime && HasEightBitBody(m_Draft)) {
        out.parameters += QStringLiteral(" BODY=8BITMIME");
    }
    if (smtpUtf8) {
        out.parameters += QStringLiteral(" SMTPUTF8");
    }
    return std::nullopt;
}

DataPiece ComposedMessage::Next() {
    if (m_Next < 0) {
        // Composed when the server is ready for it, with the time of now.
        m_Draft.now = CurrentDateTime();
        m_Parts = ComposeMessage(m_Draft);
        m_Next = 0;
    }
    using Kind = Transmission::Kind;
    if (m_File.isOpen()) {
        DataPiece p;
        p.kind = DataPiece::Kind::Stream;
        p.pace = DataPiece::Pace::Gentle;
        const int lines = m_Encoding == FileEncoding::Base64 ? 1 : UULinesPerPiece;
        for (int i = 0; i < lines && m_Remaining > 0; ++i) {
            const qint64 n = std::min(
                m_Remaining, m_Encoding == FileEncoding::Base64 ? kBase64ChunkBytes : kUULineBytes);
            QByteArray bytes = m_File.read(n);
            if (bytes.size() != n) {
                const QString path = m_File.fileName();
                m_File.close();
                return failure("Cannot read " + path);
            }
            m_Remaining -= n;
            switch (m_Encoding) {
            case FileEncoding::Base64:
                p.bytes = EncodeBase64Bytes(bytes);
                p.text = QStringLiteral("<<infile>>");
                break;
            case FileEncoding::UUEncode:
                p.bytes += UUEncodedDataLine(bytes);
                break;
            case FileEncoding::UUEncodeQuotedPrintable:
                p.bytes += QuotedPrintableUUEncodedDataLine(bytes);
                break;
            }
        }
        if (m_Remaining <= 0) {
            m_File.close();
        }
        return p;
    }
    while (m_Next < m_Parts.size()) {
        const Transmission &t = m_Parts[m_Next++];
        DataPiece p;
        switch (t.kind) {
        case Kind::Text:
            p.bytes = t.bytes();
            p.text = t.debugText;
            return p;
        case Kind::AttachmentStart:
            p.kind = DataPiece::Kind::Status;
            p.text = t.status;
            return p;
        case Kind::FileData: {
            const QString path = m_Paths.value(t.attachment);
            m_File.setFileName(path);
            if (!m_File.open(QIODevice::ReadOnly)) {
                return failure("File not found: " + path);
            }
            m_Encoding = t.encoding;
            m_Remaining = m_File.size();
            if (m_Remaining <= 0) {
                m_File.close();
                continue;
            }
            return Next();
        }
        case Kind::AttachmentDone:
            p.kind = DataPiece::Kind::Drain;
            return p;
        case Kind::EndOfData:
            p.kind = DataPiece::Kind::End;
            p.bytes = t.bytes();
            p.text = t.debugText;
            return p;
        }
    }
    return failure(QStringLiteral("Unexpected error"));
}

// ---- RelayedMessage ----------------------------------------------------------

RelayedMessage::RelayedMessage(QString sender, QStringList recipients, QIODevice *device)
    : m_Sender(std::move(sender)), m_Recipients(std::move(recipients)), m_Device(device) {}

RelayedMessage::RelayedMessage(QString sender, QStringList recipients, const QByteArray &message)
    : m_Sender(std::move(sender)), m_Recipients(std::move(recipients)) {
    m_Owned.setData(message);
    m_Owned.open(QIODevice::ReadOnly);
    m_Device = &m_Owned;
}

std::optional<QString> RelayedMessage::Prepare(const SmtpExtensions &, Envelope &out) {
    out.sender = m_Sender;
    out.recipients = m_Recipients;
    out.parameters.clear();
    return std::nullopt;
}

DataPiece RelayedMessage::Next() {
    DataPiece p;
    if (!m_Started) {
        // The data itself is traced once.
        m_Started = true;
        p.text = QStringLiteral("<<message>>");
        return p;
    }
    if (m_Finished) {
        p.kind = DataPiece::Kind::End;
        p.bytes = QByteArrayLiteral(".\r\n");
        p.text = QStringLiteral(".");
        return p;
    }
    if (!m_Device) {
        return failure(QStringLiteral("Cannot read the message"));
    }
    p.kind = DataPiece::Kind::Stream;
    p.pace = DataPiece::Pace::Strict;
    m_Piece.resize(RelayChunk);
    for (;;) {
        const qint64 n = m_Device->read(m_Piece.data(), RelayChunk);
        if (n < 0) {
            return failure(QStringLiteral("Cannot read the message"));
        }
        if (n == 0) {
            m_Finished = true;
            p.bytes = m_Stuffer.Finish();
            if (p.bytes.isEmpty()) {
                return Next();
            }
            return p;
        }
        m_Stuffer.Feed(QByteArrayView(m_Piece.constData(), n), p.bytes);
        if (!p.bytes.isEmpty()) {
            return p;
        }
    }
}

} // namespace sendmail
