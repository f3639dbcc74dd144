// The send operation: preconditions, the envelope (MAIL FROM, RCPT TO),
// DATA, the composed message, the attachment files streamed from disk, the
// final "." and the outcome.
//
// SMTP: RFC 5321. Message format and encodings: see mail/compose.h.
#include "mail/send_mail.h"

#include "mail/clock.h"
#include "mail/error_texts.h"
#include "mime/addresses.h"
#include "mime/compose.h"
#include "mime/encoders.h"
#include "mime/message_text.h"
#include "net/socket.h"

#include <QCoreApplication>
#include <QFile>

#include <exception>
#include <stdexcept>

namespace {

// While the socket holds more than this, file streaming waits for the socket
// to report progress before it reads more of the file. This keeps the queue,
// and so the memory a large attachment costs, bounded; below it the chunks go
// out without a pause of the event loop for each one.
constexpr qint64 QueueHighWater = 1 << 20;

// Raised inside the send operation for a failure that ends it; its text
// becomes the explanation.
class SendError : public std::runtime_error {
public:
    explicit SendError(const QString &text) : std::runtime_error(text.toStdString()) {}
};

// SendFileData's mode: 0 Base64, 1 uuencode, 2 uuencode inside a
// quoted-printable body.
int fileMode(sendmail::FileEncoding encoding) {
    switch (encoding) {
    case sendmail::FileEncoding::Base64:
        return 0;
    case sendmail::FileEncoding::UUEncode:
        return 1;
    case sendmail::FileEncoding::UUEncodeQuotedPrintable:
        return 2;
    }
    return 1;
}

} // namespace

void clsSendMail::Send() {
    runExclusive(QStringLiteral("Send refused: a send is in progress"), [this] { sendSteps(); });
}

void clsSendMail::runExclusive(const QString &refusal, const std::function<void()> &steps) {
    if (m_Busy) {
        // A call from an event handler in the middle of a send or session
        // opening would tear the running conversation apart.
        emit status(refusal);
        return;
    }
    m_Busy = true;
    try {
        steps();
    } catch (const std::exception &e) {
        const QString description = QString::fromStdString(e.what());
        AddError(description);
        MailResult = false;
        MailMessage = description;
        ReportFailure();
    } catch (...) {
        AddError(QStringLiteral("Unexpected error"));
        MailResult = false;
        ReportFailure();
    }
    m_Busy = false;
}

sendmail::MessageDraft clsSendMail::draft(bool hasEmbedded) const {
    sendmail::MessageDraft d;
    d.from = m_from;
    d.fromDisplayName = m_FromDisplayName;
    d.recipients = m_Recipient;
    d.recipientDisplayNames = m_RecipientDisplayName;
    d.ccRecipients = m_CcRecipient;
    d.ccDisplayNames = m_CcDisplayName;
    d.bccRecipients = m_BccRecipient;
    d.replyToAddress = m_ReplyToAddress;
    d.subject = m_Subject;
    d.message = m_Message;
    d.messageIs8Bit = m_MessageIs8Bit;
    d.asHtml = m_AsHTML;
    d.contentBase = m_ContentBase;
    d.priority = m_Priority;
    d.priorityText = m_PriorityText;
    d.receipt = m_Receipt;
    d.xMailer = m_XMailer;
    d.encodeType = m_EncodeType;
    d.attachmentFileNames = m_AttachmentFileName.mid(0, m_AttachmentCount);
    d.attachmentEmbedded = m_AttachmentEmbedded;
    d.hasEmbedded = hasEmbedded;
    d.attachmentTotalSize = m_AttachmentTotalSize;
    d.attachmentNameLength = m_AttachmentNameLength;
    d.timeZoneSuffix = m_TimeZoneSuffix;
    return d;
}

void clsSendMail::pairDisplayNames() {
    if (!m_Recipient.isEmpty()) {
        m_RecipientDisplayName.resize(m_Recipient.size());
    }
    if (!m_CcRecipient.isEmpty()) {
        m_CcDisplayName.resize(m_CcRecipient.size());
    }
}

bool clsSendMail::linkEmbeddedFiles() {
    if (m_AttachmentCount < 1) {
        return false;
    }
    return sendmail::LinkEmbeddedFiles(m_Message, m_AttachmentFileName, m_AttachmentEmbedded,
                                       m_AsHTML);
}

sendmail::MessageDraft clsSendMail::wireDraft(bool hasEmbedded) const {
    sendmail::MessageDraft message = draft(hasEmbedded);
    // On the wire every line break of the body is CRLF. A text outside
    // ISO-8859-1 is encoded whole by the composition, which does that itself.
    if (sendmail::FitsLatin1(m_Message)) {
        message.message = sendmail::ToWireText(m_Message);
    }
    message.now = sendmail::CurrentDateTime();
    return message;
}

sendmail::MessageDraft clsSendMail::ComposeDraft() {
    pairDisplayNames();
    return wireDraft(linkEmbeddedFiles());
}

int32_t clsSendMail::EstimateMessageSize() const {
    const std::optional<qint32> size =
        sendmail::EstimateMessageSize(draft(false), m_UseAuthentication, m_Username, m_Password);
    if (!size) {
        throw SendError(QStringLiteral("Overflow"));
    }
    return *size;
}

void clsSendMail::sendSteps() {
    MailResult = false;
    MailMessage.clear();
    m_MessageAccepted = false;
    const int32_t recipientCount =
        static_cast<int32_t>(m_Recipient.size() + m_CcRecipient.size() + m_BccRecipient.size());

    if (m_from.isEmpty()) {
        AddError(sendmail::MsgFrom);
    }
    if (m_AsHTML && m_EncodeType == 1) {
        AddError(QStringLiteral("Sending HTML requires MIME encoding"));
    }
    if (recipientCount == 0) {
        AddError(QStringLiteral("No Recipient E-mail Address Specified"));
    }
    if (recipientCount > 100) {
        AddError(QStringLiteral("Too many recipients"));
    }
    // Nothing the caller gave may carry a line break into a command.
    for (const QString &problem : CheckCommandFields(true)) {
        AddError(problem);
    }

    pairDisplayNames();
    if (!m_ErrorList.isEmpty()) {
        ReportFailure();
        return;
    }

    const bool hasEmbedded = linkEmbeddedFiles();
    TotalBytes = EstimateMessageSize();
    Aborted = false;

    if (sckMail->State() != WinSck::sckConnected && !OpenConnection()) {
        return;
    }
    BytesSent = 0;

    // Addresses outside ASCII go as they are to a server that offers
    // SMTPUTF8, and with A-label domains to any other; one that cannot be
    // written in ASCII fails the send before the envelope.
    sendmail::MessageDraft message = wireDraft(hasEmbedded);
    const bool smtpUtf8 = OffersSmtpUtf8 && sendmail::HasInternationalAddress(message);
    if (!smtpUtf8) {
        if (const QString problem = sendmail::AddressProblem(message); !problem.isEmpty()) {
            AddError(problem);
            ReportFailure();
            return;
        }
    }
    message.smtpUtf8 = smtpUtf8;
    const auto envelope = [smtpUtf8](const QString &address) {
        return sendmail::WireAddress(address, smtpUtf8).value_or(address);
    };

    QString parameters;
    if (Offers8BitMime && sendmail::HasEightBitBody(message)) {
        parameters += QStringLiteral(" BODY=8BITMIME");
    }
    if (smtpUtf8) {
        parameters += QStringLiteral(" SMTPUTF8");
    }
    QStringList recipients;
    for (const QStringList *list : {&m_Recipient, &m_CcRecipient, &m_BccRecipient}) {
        for (const QString &address : *list) {
            recipients << envelope(address);
        }
    }
    if (!sendEnvelope(envelope(m_from), recipients, parameters)) {
        return;
    }

    ReplyOK = false;
    message.now = sendmail::CurrentDateTime();
    using Kind = sendmail::Transmission::Kind;
    for (const sendmail::Transmission &t : sendmail::ComposeMessage(message)) {
        switch (t.kind) {
        case Kind::Text:
            sckMail->SendData(t.bytes());
            if (t.debugText) {
                RaiseDebugPrint(*t.debugText);
            }
            break;
        case Kind::AttachmentStart:
            emit status(t.status);
            break;
        case Kind::FileData:
            if (!SendFileData(m_Attachment.value(t.attachment), fileMode(t.encoding)) || Aborted) {
                return;
            }
            break;
        case Kind::AttachmentDone:
            if (!drainSendBuffer()) {
                return;
            }
            break;
        case Kind::EndOfData:
            if (!sendEndOfData(t.bytes(), t.debugText.value_or(QString()))) {
                return;
            }
            break;
        }
    }
    // Once the server has taken the message, the send has succeeded, whatever
    // was reported between its answer and here.
    if (Aborted && !m_MessageAccepted) {
        return;
    }
    reportSuccess();
}

bool clsSendMail::sendEnvelope(const QString &sender, const QStringList &recipients,
                               const QString &parameters) {
    emit status(QStringLiteral("Sending Sender Information..."));
    ReplyOK = false;
    const QString auth = AuthEqLoginOffered ? " AUTH=" + sender : QString();
    // The grammar of RFC 5321 has no blank after the colon, and strict
    // submission servers refuse one; the classic form stays for owners that
    // do not use the secure submission settings.
    const QString colon =
        m_TLSMode != 0 || !m_AuthMechanism.isEmpty() ? QStringLiteral(":") : QStringLiteral(": ");
    QStringList commands{"MAIL FROM" + colon + "<" + sender + ">" + parameters + auth};
    for (const QString &address : recipients) {
        commands << "RCPT TO" + colon + "<" + address + ">";
    }
    if (pipelining()) {
        return pipelineEnvelope(commands);
    }
    sendEnvelopeCommand(commands.first());
    if (!WaitForReply(ReplyOK, m_MessageTimeout, true) || Aborted) {
        return false;
    }

    emit status(QStringLiteral("Sending Recipient Information..."));
    for (qsizetype i = 1; i < commands.size(); ++i) {
        ReplyOK = false;
        sendEnvelopeCommand(commands[i]);
        if (!WaitForReply(ReplyOK, m_MessageTimeout, true) || Aborted) {
            return false;
        }
    }

    emit status(QStringLiteral("Sending Message..."));
    DataReady = false;
    sendCommand(QStringLiteral("DATA"));
    return WaitForReply(DataReady, m_MessageTimeout, true) && !Aborted;
}

bool clsSendMail::pipelineEnvelope(const QStringList &commands) {
    // MAIL FROM, every RCPT TO and DATA in one write; each reply is then
    // awaited and judged in turn, as if its command had just been sent.
    QByteArray group;
    for (const QString &command : commands) {
        group += (command + QStringLiteral("\r\n")).toUtf8();
    }
    group += "DATA\r\n";
    m_HoldReplies = true;
    m_EnvelopeGroupOpen = true;
    ReplyOK = false;
    DataReady = false;
    sckMail->SendData(group);
    for (const QString &command : commands) {
        RaiseDebugPrint(command);
    }
    RaiseDebugPrint(QStringLiteral("DATA"));
    for (qsizetype i = 0; i < commands.size(); ++i) {
        if (i == 1) {
            emit status(QStringLiteral("Sending Recipient Information..."));
        }
        if (!WaitForReply(ReplyOK, m_MessageTimeout, true) || Aborted) {
            return false;
        }
        ReplyOK = false;
    }
    emit status(QStringLiteral("Sending Message..."));
    if (!WaitForReply(DataReady, m_MessageTimeout, true) || Aborted) {
        return false;
    }
    m_EnvelopeGroupOpen = false;
    return true;
}

bool clsSendMail::sendEndOfData(const QByteArray &bytes, const QString &trace) {
    ReplyOK = false;
    m_AwaitingDataEnd = true;
    // Pipelined, QUIT follows the end of the data at once unless Connect
    // keeps the session; CloseConnection then only awaits its reply.
    const bool quit = pipelining() && !KeepConnection;
    sckMail->SendData(quit ? bytes + "QUIT\r\n" : bytes);
    if (!trace.isEmpty()) {
        RaiseDebugPrint(trace);
    }
    if (quit) {
        m_QuitSent = true;
        RaiseDebugPrint(QStringLiteral("QUIT"));
    }
    if (!WaitForReply(ReplyOK, m_MessageTimeout, true)) {
        m_AwaitingDataEnd = false;
        return false;
    }
    return true;
}

void clsSendMail::reportSuccess() {
    emit Progress(100);
    emit status(QStringLiteral("Transmission Complete..."));
    if (!KeepConnection) {
        CloseConnection();
    }
    MailResult = true;
    MailMessage = QStringLiteral("OK");
    emit SendSuccesful();
}

void clsSendMail::sendEnvelopeCommand(const QString &command) {
    // UTF-8 reaches the wire only with SMTPUTF8; otherwise the command is
    // ASCII, the same bytes in either form.
    sckMail->SendData((command + QStringLiteral("\r\n")).toUtf8());
    RaiseDebugPrint(command);
}

bool clsSendMail::SendFileData(const QString &path, int mode) {
    QFile file(path);
    try {
        if (!file.open(QIODevice::ReadOnly)) {
            throw SendError("File not found: " + path);
        }
        qint64 remaining = file.size();
        int lines = 0;
        while (remaining > 0) {
            const qint64 n = std::min(remaining, mode == 0 ? sendmail::kBase64ChunkBytes
                                                           : sendmail::kUULineBytes);
            if (mode == 0) {
                ProgressSeen = false;
            }
            QByteArray bytes = file.read(n);
            if (bytes.size() != n) {
                throw SendError("Cannot read " + path);
            }
            if (sckMail->State() != WinSck::sckConnected) {
                throw SendError(QStringLiteral("Socket not Open"));
            }
            remaining -= n;
            if (mode == 0) {
                sckMail->SendData(sendmail::EncodeBase64Bytes(bytes));
                RaiseDebugPrint(QStringLiteral("<<infile>>"));
                if (sckMail->BytesQueued() > QueueHighWater) {
                    // Up to 2 seconds for a progress report; its result is
                    // not needed, only the time for the socket to write.
                    WaitForReply(ProgressSeen, 2, false);
                }
            } else {
                sckMail->SendData(mode == 1 ? sendmail::UUEncodedDataLine(bytes)
                                            : sendmail::QuotedPrintableUUEncodedDataLine(bytes));
                if (++lines % 50 == 0) {
                    QCoreApplication::processEvents();
                    if (sckMail->BytesQueued() > QueueHighWater) {
                        ProgressSeen = false;
                        WaitForReply(ProgressSeen, 2, false);
                    }
                }
            }
            if (Aborted) {
                return false;
            }
        }
    } catch (const SendError &e) {
        file.close();
        AddError(QString::fromStdString(e.what()));
        ReportFailure();
        Aborted = true;
        return false;
    }
    return true;
}

bool clsSendMail::drainSendBuffer() {
    // Each attachment lets the socket's queue drain to 4 KiB before the next
    // one; a queue that does not move for MessageTimeout seconds is a
    // time-out.
    while (BytesRemaining > 4096) {
        const int32_t seen = BytesRemaining;
        sendmail::MidnightStopwatch stopwatch;
        while (BytesRemaining == seen) {
            if (stopwatch.Elapsed() >= m_MessageTimeout) {
                ReportTimeout();
                return false;
            }
            pumpEvents();
            if (Aborted) {
                return false;
            }
        }
    }
    return true;
}
