// Where the session's message comes from: the envelope, fixed once the
// server's extensions are known, and the bytes after DATA, handed out piece
// by piece so that a message of any size passes through bounded memory.
//
// Two sources: a message composed from the component's fields (mime/) with
// its attachment files streamed from disk, and a finished message read from
// a QIODevice (relay). Neither touches a socket; the session asks for the
// next piece when the previous one has gone out.
#pragma once

#include "mail/data_stream.h"
#include "mail/smtp_extensions.h"
#include "mime/compose.h"

#include <QBuffer>
#include <QByteArray>
#include <QFile>
#include <QList>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <optional>

class QIODevice;

namespace sendmail {

struct Envelope {
    QString sender;
    QStringList recipients;
    // After MAIL FROM's address: " BODY=8BITMIME", " SMTPUTF8" or "".
    QString parameters;
    // The message's size in octets, exact or estimated; -1 when unknown
    // (a pipe). Declared to a server that offers SIZE.
    qint64 size = -1;
};

struct DataPiece {
    enum class Kind {
        Text,    // bytes as they stand
        Status,  // a status text for the owner (an attachment begins)
        Stream,  // bytes read from a file or device: the connection must be
                 // open, and the session lets the socket drain (see pace)
        Drain,   // let the socket's queue drain before the next attachment
        End,     // the final "." (and nothing after it)
        Failure, // the source cannot go on: `text` says why
    };
    // How a Stream piece waits while the socket holds more than 256 KiB:
    // Gentle gives the socket up to 2 seconds for a progress report, Strict
    // waits for progress up to MessageTimeout and reports a time-out.
    enum class Pace { Gentle, Strict };

    Kind kind = Kind::Text;
    QByteArray bytes;
    // For Text/Stream/End: the trace line, if any; Status: the text;
    // Failure: the explanation.
    std::optional<QString> text;
    Pace pace = Pace::Gentle;
};

class MessageSource {
public:
    virtual ~MessageSource() = default;
    // Called once the session is open, with what the server offers: fills
    // the envelope, or returns the text that fails the send before MAIL.
    virtual std::optional<QString> Prepare(const SmtpExtensions &offered, Envelope &out) = 0;
    // The next piece after the server's 354; the last one is End or Failure.
    virtual DataPiece Next() = 0;
};

// A message composed from a draft taken when the send started; attachment
// files are read when their turn comes.
class ComposedMessage : public MessageSource {
public:
    // `draft` in wire form; `attachmentPaths` indexed as the draft's
    // attachments; `envelopeRecipients` To, Cc and Bcc in order; `size`
    // the estimate of the message's size, -1 for none.
    ComposedMessage(MessageDraft draft, QStringList attachmentPaths, QStringList envelopeRecipients,
                    qint64 size = -1);
    std::optional<QString> Prepare(const SmtpExtensions &offered, Envelope &out) override;
    DataPiece Next() override;

private:
    MessageDraft m_Draft;
    QStringList m_Paths;
    QStringList m_Recipients;
    qint64 m_Size = -1;
    QList<Transmission> m_Parts;
    qsizetype m_Next = -1; // -1: not composed yet
    // The attachment file being streamed, and its encoding.
    QFile m_File;
    FileEncoding m_Encoding = FileEncoding::Base64;
    qint64 m_Remaining = 0;
};

// A finished message read from a device to its end, line breaks made CRLF
// and leading dots doubled on the way.
class RelayedMessage : public MessageSource {
public:
    // The device must stay open until the send has ended.
    RelayedMessage(QString sender, QStringList recipients, QIODevice *device);
    // The message's bytes, held by the source.
    RelayedMessage(QString sender, QStringList recipients, const QByteArray &message);
    std::optional<QString> Prepare(const SmtpExtensions &offered, Envelope &out) override;
    DataPiece Next() override;

private:
    QString m_Sender;
    QStringList m_Recipients;
    QBuffer m_Owned;
    QPointer<QIODevice> m_Device;
    DataStuffer m_Stuffer;
    QByteArray m_Piece;
    bool m_Started = false;
    bool m_Finished = false;
};

} // namespace sendmail
