// Relaying a message that the owner composed elsewhere: the envelope comes
// with the call, the message's own bytes follow DATA, read and sent piece by
// piece. The session, the envelope commands and the outcome are the send
// operation's (session.cpp, send.cpp).
//
// SMTP: RFC 5321 (CRLF as the only line break, section 2.3.8; the dot
// doubling of section 4.5.2). Message format: RFC 5322.
#include "mail/send_mail.h"

#include "mail/data_stream.h"
#include "mail/error_texts.h"
#include "mail/validation.h"
#include "net/socket.h"

#include <QBuffer>
#include <QIODevice>

#include <algorithm>
#include <limits>

namespace {

// Bytes read from the message per step: few steps for a large message, and
// nothing worth mentioning held at a time.
constexpr qint64 ReadChunk = 64 * 1024;

// Reading pauses while the socket holds more than this, as the file
// streaming of the send operation does, so a message of any size costs the
// same memory.
constexpr qint64 QueueHighWater = 1 << 20;

const QString MsgNoRecipient = QStringLiteral("No Recipient E-mail Address Specified");
const QString MsgUnreadable = QStringLiteral("The message cannot be read");
const QString MsgReadError = QStringLiteral("Cannot read the message");

bool hasLineBreakOrNul(const QString &text) {
    return std::any_of(text.begin(), text.end(), [](QChar c) {
        return c == QLatin1Char('\r') || c == QLatin1Char('\n') || c == QChar(0);
    });
}

} // namespace

void clsSendMail::Relay(const QString &Sender, const QStringList &Recipients, QIODevice *Message) {
    runExclusive(QStringLiteral("Relay refused: a send is in progress"), [&] {
        // The session names the sender's domain after EHLO/HELO while the
        // relay runs, whatever happens inside.
        struct Reset {
            QString &sender;
            ~Reset() { sender.clear(); }
        } reset{m_RelaySender};
        m_RelaySender = Sender;
        relaySteps(Sender, Recipients, Message);
    });
}

void clsSendMail::Relay(const QString &Sender, const QStringList &Recipients,
                        const QByteArray &Message) {
    QByteArray shared = Message; // a reference to the same bytes, not a copy
    QBuffer buffer(&shared);
    buffer.open(QIODevice::ReadOnly);
    Relay(Sender, Recipients, &buffer);
}

void clsSendMail::relaySteps(const QString &sender, const QStringList &recipients,
                             QIODevice *message) {
    MailResult = false;
    MailMessage.clear();
    m_MessageAccepted = false;

    const bool check = m_EmailAddressValidation == 1;
    if (sender.isEmpty() || (check && !sendmail::IsValidEmailAddress(sender))) {
        AddError(sendmail::MsgFrom);
    }
    if (recipients.isEmpty()) {
        AddError(MsgNoRecipient);
    }
    if (recipients.size() > 100) {
        AddError(QStringLiteral("Too many recipients"));
    }
    if (check &&
        !std::all_of(recipients.begin(), recipients.end(), sendmail::IsValidEmailAddress)) {
        AddError(sendmail::MsgRecipient);
    }
    // Nothing the caller gave may carry a line break into a command.
    if (hasLineBreakOrNul(sender)) {
        AddError(QStringLiteral("Line break or NUL character in Sender"));
    }
    if (std::any_of(recipients.begin(), recipients.end(), hasLineBreakOrNul)) {
        AddError(QStringLiteral("Line break or NUL character in Recipients"));
    }
    if (!message || !message->isReadable()) {
        AddError(MsgUnreadable);
    }
    if (!m_ErrorList.isEmpty()) {
        ReportFailure();
        return;
    }

    // 100 percent: the envelope commands and the message as it stands.
    // Without a size (a pipe) there is nothing to count against.
    qint64 total = 0;
    if (!message->isSequential()) {
        // "MAIL FROM: <" ">\r\n", "RCPT TO: <" ">\r\n" each, "DATA\r\n", ".\r\n".
        total = 15 + sender.size() + 6 + 3 + std::max<qint64>(0, message->size() - message->pos());
        for (const QString &address : recipients) {
            total += 13 + address.size();
        }
    }
    TotalBytes = static_cast<int32_t>(std::min<qint64>(total, std::numeric_limits<int32_t>::max()));
    Aborted = false;

    if (sckMail->State() != WinSck::sckConnected && !OpenConnection()) {
        return;
    }
    BytesSent = 0;
    if (!sendEnvelope(sender, recipients) || !relayData(*message)) {
        return;
    }
    reportSuccess();
}

bool clsSendMail::relayData(QIODevice &message) {
    ReplyOK = false;
    RaiseDebugPrint(QStringLiteral("<<message>>"));
    sendmail::DataStuffer stuffer;
    QByteArray piece(ReadChunk, Qt::Uninitialized);
    QByteArray wire;
    auto send = [this](const QByteArray &bytes) {
        if (sckMail->State() != WinSck::sckConnected) {
            AddError(QStringLiteral("Socket not Open"));
            ReportFailure();
            return false;
        }
        sckMail->SendData(bytes);
        // A queue that does not move for MessageTimeout seconds is a time-out.
        while (sckMail->BytesQueued() > QueueHighWater && !Aborted) {
            ProgressSeen = false;
            if (!WaitForReply(ProgressSeen, m_MessageTimeout, true)) {
                return false;
            }
        }
        return !Aborted;
    };
    for (;;) {
        const qint64 n = message.read(piece.data(), ReadChunk);
        if (n < 0) {
            AddError(MsgReadError);
            ReportFailure();
            return false;
        }
        if (n == 0) {
            break;
        }
        wire.resize(0);
        stuffer.Feed(QByteArrayView(piece.constData(), n), wire);
        if (!send(wire)) {
            return false;
        }
    }
    if (const QByteArray tail = stuffer.Finish(); !tail.isEmpty() && !send(tail)) {
        return false;
    }
    return sendEndOfData(QByteArrayLiteral(".\r\n"), QStringLiteral(".")) && !Aborted;
}
