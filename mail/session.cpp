// The conversation with the mail servers: POP3 before SMTP, the SMTP
// connection, greeting, EHLO/HELO and AUTH LOGIN, the handling of every
// reply, the waits with their time limits, the orderly close and the
// reporting of failures.
//
// SMTP: RFC 5321 (replies, multi-line replies with "-" after the code;
// EHLO and the fall-back to HELO, section 4.1.4). Extensions: 8BITMIME
// (RFC 6152), SMTPUTF8 (RFC 6531).
// AUTH LOGIN: RFC 4954 (the 334 prompts answered in Base64).
// PIPELINING: RFC 2920 (replies judged one at a time, in order).
// POP3: RFC 1939 (USER, PASS, QUIT).
#include "mail/send_mail.h"

#include "sasl/sasl_client.h"

#include "mail/clock.h"
#include "mail/error_texts.h"
#include "mail/progress.h"
#include "mail/smtp_extensions.h"
#include "mail/validation.h"
#include "mime/addresses.h"
#include "mime/compose.h"
#include "mime/encoders.h"
#include "net/host_text.h"
#include "net/socket.h"
#include "wait/msg_wait.h"

#include <QCoreApplication>

#include <exception>
#include <limits>
#include <sys/eventfd.h>
#include <unistd.h>
#include <utility>

namespace {

const QString CRLF = QStringLiteral("\r\n");
using sendmail::MsgPOP3Host;
using sendmail::MsgSMTPHost;
using sendmail::MsgTimeout;

// Traced after what a server says or does once it has taken the message.
const QString MsgIgnoredAfterAcceptance =
    QStringLiteral("Not a failure: the server had already accepted the message");

// A reply whose code starts with "2" (other than the help and status replies,
// which answer no command) completes the command it answers.
bool isPositiveCompletion(const QString &code) {
    return code.size() == 3 && code[0] == QLatin1Char('2') && code[1].isDigit() &&
           code[2].isDigit() && code != QLatin1String("211") && code != QLatin1String("214");
}

} // namespace

// ---- Public session methods ------------------------------------------------

bool clsSendMail::Connect() {
    if (m_Busy) {
        emit status(QStringLiteral("Connect refused: a send is in progress"));
        return false;
    }
    m_Busy = true;
    KeepConnection = true;
    bool ok = OpenConnection();
    m_Busy = false;
    return ok;
}

void clsSendMail::Disconnect() {
    if (m_Busy) {
        emit status(QStringLiteral("Disconnect refused: a send is in progress"));
        return;
    }
    m_Busy = true;
    KeepConnection = false;
    CloseConnection();
    m_Busy = false;
}

// ---- Opening the session ---------------------------------------------------

bool clsSendMail::OpenConnection() {
    try {
        return openConnectionSteps();
    } catch (const std::exception &e) {
        AddError(QString::fromLocal8Bit(e.what()));
        ReportFailure();
        return false;
    }
}

bool clsSendMail::openConnectionSteps() {
    if (sckMail->State() == WinSck::sckConnected) {
        return true;
    }
    if (sckMail->State() != WinSck::sckClosed) {
        sckMail->Close();
    }
    m_MessageAccepted = false;
    // Command texts that would let the caller's data speak the protocol are
    // refused before anything is sent.
    if (const QStringList problems = CheckCommandFields(false); !problems.isEmpty()) {
        for (const QString &problem : problems) {
            AddError(problem);
        }
        ReportFailure();
        return false;
    }
    if (m_SMTPHost.isEmpty()) {
        m_SMTPHost = MXQuery(QString());
        if (m_SMTPHost.isEmpty()) {
            // Reported at once: left pending, it would fail the next,
            // unrelated send instead of this one.
            AddError(MsgSMTPHost);
            ReportFailure();
            return false;
        }
    }
    if (m_UsePopAuthentication && !Pop3Phase()) {
        return false;
    }
    return SmtpPhase();
}

bool clsSendMail::ConnectAttempts() {
    for (int32_t attempt = 1; attempt <= m_ConnectRetry; ++attempt) {
        if (sckMail->State() == WinSck::sckConnected) {
            SocketConnected = true;
            break;
        }
        if (sckMail->State() == WinSck::sckClosed) {
            sckMail->Connect();
        }
        if (WaitForReply(SocketConnected, m_ConnectTimeout, false)) {
            break;
        }
        if (Aborted) {
            return false;
        }
        if (sckMail->State() == WinSck::sckError) {
            sckMail->Close();
        }
    }
    return true;
}

bool clsSendMail::Pop3Phase() {
    emit status("Connecting to POP3 Server (" + m_POP3Host + ")...");
    Aborted = false;
    SocketConnected = false;
    PopDone = false;
    PopStep = 0;
    if (m_POP3Host.isEmpty()) {
        AddError(MsgPOP3Host);
        ReportFailure();
        return false;
    }
    sckMail->setRemoteHost(m_POP3Host);
    sckMail->setRemotePort(110);
    if (!ConnectAttempts()) {
        return false;
    }
    // A silent POP3 server does not stop the send: after this wait the
    // session goes on to SMTP.
    WaitForReply(PopDone, m_ConnectTimeout, false);
    sckMail->Close();
    m_ReplyBuffer.clear();
    QCoreApplication::processEvents();
    if (Aborted) {
        return false;
    }
    emit status(QStringLiteral("POP3 Authentication Successful..."));
    return true;
}

bool clsSendMail::SmtpPhase() {
    ReplyOK = false;
    DataReady = false;
    AuthLoginOffered = false;
    AuthEqLoginOffered = false;
    AuthAccepted = false;
    Aborted = false;
    SocketConnected = false;
    Offers8BitMime = false;
    OffersSmtpUtf8 = false;
    OffersPipelining = false;
    OffersStartTls = false;
    m_HoldReplies = false;
    m_EnvelopeGroupOpen = false;
    m_QuitSent = false;
    m_TlsReady = false;
    m_AnyDataSeen = false;
    m_EhloReply.clear();
    m_Sasl.reset();
    m_StartTlsSent = false;
    m_DiscardBeforeTls = false;
    if (sckMail->State() != WinSck::sckClosed) {
        sckMail->Close();
    }
    m_ReplyBuffer.clear();
    sckMail->setRemoteHost(m_SMTPHost);
    sckMail->setRemotePort(m_SMTPPort);
    emit status("Connecting to SMTP Server (" + m_SMTPHost + ")...");
    if (!ConnectAttempts()) {
        return false;
    }
    if (m_TLSMode == 3 && !StartTlsHandshake(true)) {
        return false;
    }
    if (!WaitForReply(ReplyOK, m_ConnectTimeout, false) || !SocketConnected) {
        // A greeting that was judged a failure has been reported already.
        if (!Aborted && !ReportSilentGreeting()) {
            ReportTimeout();
        }
        return false;
    }
    emit status(QStringLiteral("Initializing Communications..."));
    ReplyOK = false;

    // EHLO when a login or the message needs an extension (text outside
    // ISO-8859-1, an address outside ASCII); any other message is greeted
    // as it always was.
    const bool extensions = sendmail::NeedsSmtpExtensions(draft(false));
    // TLS is asked for after EHLO, and its offer read from the reply; so is
    // PIPELINING.
    const bool ehlo = m_UseAuthentication || extensions || m_TLSMode != 0 || m_Pipelining;
    QString name;
    if (!sendmail::TrimBlanks(m_Hallo).isEmpty()) {
        name = m_Hallo;
    } else {
        const QString &sender = sessionSender();
        const qsizetype at = sender.indexOf(QLatin1Char('@'));
        name = at >= 0 ? sender.mid(at + 1) : sender;
        // The greeting names a domain in ASCII, whatever the server offers.
        if (const QString ascii = sendmail::AsciiDomain(name); !ascii.isEmpty()) {
            name = ascii;
        }
    }
    // An IPv6 address as the name goes in its RFC 5321 form, [IPv6:...].
    if (const QString bare = sendmail::TrimBlanks(name);
        sendmail::SmtpAddressLiteral(bare) != bare) {
        name = sendmail::SmtpAddressLiteral(bare);
    }
    ReadingEhlo = ehlo;
    // Without a login to lose, a server that does not know EHLO (500, 502)
    // is greeted again with HELO.
    EhloFallback = ehlo && !m_UseAuthentication;
    EhloRefused = false;
    sendCommand((ehlo ? QStringLiteral("EHLO ") : QStringLiteral("HELO ")) + name);
    const bool answered = WaitForReply(ReplyOK, m_ConnectTimeout, true);
    ReadingEhlo = false;
    EhloFallback = false;
    if (!answered) {
        return false;
    }
    if (EhloRefused) {
        ReplyOK = false;
        sendCommand("HELO " + name);
        if (!WaitForReply(ReplyOK, m_ConnectTimeout, true)) {
            return false;
        }
    }
    if ((m_TLSMode == 1 || m_TLSMode == 2) && !StartTlsCommand(QStringLiteral("EHLO ") + name)) {
        return false;
    }
    if (!m_UseAuthentication) {
        return true;
    }
    return m_AuthMechanism.isEmpty() ? AuthLogin() : SaslLogin();
}

bool clsSendMail::AuthLogin() {
    if (!WaitForReply(AuthLoginOffered, 5, false)) {
        emit status(QStringLiteral("Login Not Supported by Host, Continuing..."));
        return true;
    }
    emit status(QStringLiteral("Sending Login Authentication..."));
    sendCommand(QStringLiteral("AUTH Login"));
    if (!WaitForReply(AuthAccepted, 5, false)) {
        emit status(QStringLiteral("Host Login Failed!"));
        AddError(QStringLiteral("Login: Login failed"));
        ReportFailure();
        return false;
    }
    emit status(QStringLiteral("Host Login OK!"));
    return !Aborted;
}

QStringList clsSendMail::CheckCommandFields(bool envelope) const {
    QStringList problems;
    auto check = [&problems](const QString &field, const QString &value) {
        for (QChar c : value) {
            if (c == QLatin1Char('\r') || c == QLatin1Char('\n') || c == QChar(0)) {
                problems << "Line break or NUL character in " + field;
                return;
            }
        }
    };
    check(QStringLiteral("from"), m_from);
    check(QStringLiteral("Hallo"), m_Hallo);
    if (m_UseAuthentication || m_UsePopAuthentication) {
        check(QStringLiteral("Username"), m_Username);
        check(QStringLiteral("Password"), m_Password);
    }
    if (envelope) {
        check(QStringLiteral("Recipient"), m_Recipient.join(QString()));
        check(QStringLiteral("CcRecipient"), m_CcRecipient.join(QString()));
        check(QStringLiteral("BccRecipient"), m_BccRecipient.join(QString()));
    }
    return problems;
}

// ---- Waiting ---------------------------------------------------------------

void clsSendMail::pumpEvents() {
    QCoreApplication::processEvents();
    const int32_t slice = 25;
    const int32_t count = m_WakeFd >= 0 ? 1 : 0;
    mdlMsgWaitObj::MessagePumpWait(slice, m_WakeFd, count);
    uint64_t drained;
    while (::read(m_WakeFd, &drained, sizeof drained) > 0) {
    }
}

void clsSendMail::wake() {
    const uint64_t one = 1;
    (void)!::write(m_WakeFd, &one, sizeof one);
}

bool clsSendMail::WaitForReply(bool &flag, int32_t limit, bool reportTimeout) {
    if (limit < 1) {
        return false;
    }
    // Arrivals meanwhile stop at the reply that sets this flag (with
    // pipelined commands); a nested wait names its own flag.
    struct Awaiting {
        bool *&current;
        bool *previous;
        ~Awaiting() { current = previous; }
    } awaiting{m_AwaitedFlag, std::exchange(m_AwaitedFlag, &flag)};
    sendmail::MidnightStopwatch stopwatch;
    while (!flag && !Aborted && JudgeHeldReply()) {
    }
    if (flag) {
        return true;
    }
    for (;;) {
        if (stopwatch.Elapsed() >= limit) {
            // A failure reported meanwhile (its goodbye may have used up the
            // time) is the outcome; a time-out on top would be a second one.
            if (reportTimeout && !Aborted) {
                ReportTimeout();
            }
            return false;
        }
        if (Aborted) {
            return false;
        }
        pumpEvents();
        while (!flag && !Aborted && JudgeHeldReply()) {
        }
        if (flag) {
            return true;
        }
    }
}

// ---- Closing and failures --------------------------------------------------

void clsSendMail::CloseConnection() {
    if (sckMail->State() != WinSck::sckClosed) {
        emit status(QStringLiteral("Closing Connection..."));
    }
    // While the server may be reading message text after a pipelined DATA,
    // a QUIT would become part of the message: the connection is closed
    // without it, and without the end of the data, so nothing is delivered.
    if (sckMail->State() == WinSck::sckConnected && !m_EnvelopeGroupOpen) {
        ReplyOK = false;
        if (!m_QuitSent) {
            sendCommand(QStringLiteral("QUIT"));
        }
        WaitForReply(ReplyOK, 2, false);
    }
    sckMail->Close();
    m_ReplyBuffer.clear();
    m_HoldReplies = false;
    m_EnvelopeGroupOpen = false;
    m_QuitSent = false;
}

void clsSendMail::ReportFailure() {
    // Once a failure is reported, a late answer to the end of the data must
    // not turn the send into a delivery.
    m_AwaitingDataEnd = false;
    const QString explanation = m_ErrorList.join(QString());
    MailMessage = explanation;
    emit SendFailed(explanation);
    if (sckMail->State() != WinSck::sckClosed) {
        CloseConnection();
    }
    Aborted = true;
    wake();
    m_ErrorList = QStringList();
}

void clsSendMail::ReportTimeout() {
    AddError(MsgTimeout);
    ReportFailure();
}

void clsSendMail::RaiseDebugPrint(const QString &text) {
    emit DebugPrint(QVariant(text));
}

void clsSendMail::sendCommand(const QString &command) {
    sckMail->SendData(command + CRLF);
    RaiseDebugPrint(command);
}

// ---- Socket events -----------------------------------------------------------

void clsSendMail::sckMail_Connect() {
    SocketConnected = true;
    wake();
}

void clsSendMail::sckMail_Close() {
    SocketConnected = false;
    wake();
}

void clsSendMail::sckMail_Error(int Number, const QString &Description) {
    QString message = QString::number(Number) + " - " + Description;
    if (Number == 11001 || Number == 10065) {
        message += " (" + sckMail->RemoteHost() + ")";
    }
    if (m_MessageAccepted) {
        RaiseDebugPrint(message);
        RaiseDebugPrint(MsgIgnoredAfterAcceptance);
        return;
    }
    AddError(message);
    ReportFailure();
}

void clsSendMail::sckMail_SendProgress(qint64 bytesSent, qint64 bytesRemaining) {
    constexpr qint64 maxBytes = std::numeric_limits<int32_t>::max();
    BytesSent = static_cast<int32_t>(std::min<qint64>(BytesSent + bytesSent, maxBytes));
    ProgressSeen = true;
    const int32_t percent = sendmail::ProgressPercent(BytesSent, TotalBytes);
    if (percent != LastPercent) {
        LastPercent = percent;
        if (sckMail->State() == WinSck::sckConnected) {
            emit Progress(percent);
        }
    }
    BytesRemaining = static_cast<int32_t>(std::min(bytesRemaining, maxBytes));
    wake();
}

void clsSendMail::sckMail_DataArrival(qint64) {
    if (sckMail->State() != WinSck::sckConnected) {
        return;
    }
    QString data;
    sckMail->GetData(data);
    if (ArrivalToDrop(data)) {
        return;
    }
    m_AnyDataSeen = m_AnyDataSeen || !data.isEmpty();
    m_ReplyBuffer.append(data);
    // Arrivals are assembled into complete replies: a segment boundary inside
    // a line must not be judged as a reply of its own. Each complete reply is
    // traced and judged once, in order, even when several arrive together.
    // With pipelined commands the replies after the one that ends the running
    // wait are left for the waits that follow, so no reply is lost in a flag
    // that is already set.
    while (!(m_HoldReplies && m_AwaitedFlag && *m_AwaitedFlag)) {
        std::optional<sendmail::Reply> reply = m_ReplyBuffer.next();
        if (!reply) {
            break;
        }
        JudgeReply(*reply);
        if (m_StartTlsSent && ReplyOK) {
            // The consent to STARTTLS: whatever came with it is dropped.
            m_StartTlsSent = false;
            m_DiscardBeforeTls = true;
            m_ReplyBuffer.clear();
            break;
        }
        if (sckMail->State() != WinSck::sckConnected) {
            m_ReplyBuffer.clear();
            break;
        }
    }
    wake();
}

void clsSendMail::JudgeReply(const sendmail::Reply &reply) {
    if (reply.cut) {
        // Too long to be an answer, whatever its code says.
        RaiseDebugPrint(reply.text);
        FailOnReply(reply.text);
    } else {
        HandleReply(reply.text);
    }
}

bool clsSendMail::JudgeHeldReply() {
    // A reply that came before the server closed the connection (a 421)
    // still counts.
    if (!m_HoldReplies) {
        return false;
    }
    const std::optional<sendmail::Reply> reply = m_ReplyBuffer.next();
    if (!reply) {
        return false;
    }
    JudgeReply(*reply);
    return true;
}

void clsSendMail::HandleReply(const QString &reply) {
    if (sendmail::TrimBlanks(reply).isEmpty()) {
        RaiseDebugPrint(QStringLiteral("**Empty**"));
    } else {
        RaiseDebugPrint(reply);
    }
    const QString code = reply.left(3).toUpper();
    if (NoteEndOfDataReply(code)) {
        return;
    }
    if (code == QLatin1String("220") || code == QLatin1String("221") ||
        code == QLatin1String("251")) {
        ReplyOK = true;
    } else if (code == QLatin1String("250")) {
        ReplyOK = true;
        if (ReadingEhlo) {
            m_EhloReply = reply;
            const sendmail::SmtpExtensions offered = sendmail::ParseEhloReply(reply);
            Offers8BitMime = Offers8BitMime || offered.eightBitMime;
            OffersSmtpUtf8 = OffersSmtpUtf8 || offered.smtpUtf8;
            OffersPipelining = OffersPipelining || offered.pipelining;
            OffersStartTls = OffersStartTls || offered.startTls;
        }
        if (reply.contains(QLatin1String("auth login"), Qt::CaseInsensitive)) {
            AuthLoginOffered = true;
        }
        if (reply.contains(QLatin1String("auth=login"), Qt::CaseInsensitive)) {
            AuthEqLoginOffered = true;
        }
    } else if (code == QLatin1String("235")) {
        AuthAccepted = true;
    } else if (code == QLatin1String("334")) {
        if (m_Sasl) {
            AnswerSaslChallenge(reply);
        } else {
            AnswerAuthPrompt(reply);
        }
    } else if (code == QLatin1String("354")) {
        DataReady = true;
    } else if (code == QLatin1String("211") || code == QLatin1String("214")) {
        // Help and status replies change nothing.
    } else if (code == QLatin1String("+OK")) {
        Pop3Step();
    } else if (EhloFallback && (code == QLatin1String("500") || code == QLatin1String("502"))) {
        // Ends the EHLO wait; SmtpPhase says HELO instead.
        EhloFallback = false;
        EhloRefused = true;
        ReplyOK = true;
    } else {
        if (code == QLatin1String("-ER")) {
            PopDone = false;
            PopStep = 0;
            Aborted = true;
        }
        FailOnReply(reply);
    }
}

// The first reply after the end of the data says whether the server took the
// message; a positive one is the delivery, and ends the wait for it.
bool clsSendMail::NoteEndOfDataReply(const QString &code) {
    if (!m_AwaitingDataEnd || code == QLatin1String("211") || code == QLatin1String("214")) {
        return false;
    }
    m_AwaitingDataEnd = false;
    if (!isPositiveCompletion(code)) {
        return false;
    }
    m_MessageAccepted = true;
    ReplyOK = true;
    return true;
}

void clsSendMail::FailOnReply(const QString &reply) {
    if (m_MessageAccepted) {
        // The server has taken the message (RFC 5321, 4.1.1.4): what it says
        // after that, to QUIT or unasked, cannot undo the delivery. The reply
        // is in the trace already; it also ends the wait for the reply to QUIT.
        RaiseDebugPrint(MsgIgnoredAfterAcceptance);
        ReplyOK = true;
        return;
    }
    AddError(reply);
    ReportFailure();
}

void clsSendMail::AnswerAuthPrompt(const QString &reply) {
    QString prompt = sendmail::TrimBlanks(reply.mid(3));
    prompt.remove(CRLF);
    QString decoded = sendmail::DecodeBase64String(prompt);
    // Servers word the prompts differently: "Username:", or "User Name" with
    // a NUL after it as the mechanism's own description has it.
    decoded.remove(QLatin1Char(' ')).remove(QChar(0));
    if (decoded.contains(QLatin1String("username"), Qt::CaseInsensitive)) {
        sckMail->SendData(sendmail::EncodeBase64String(m_Username));
        RaiseDebugPrint(m_Username);
    } else if (decoded.contains(QLatin1String("password"), Qt::CaseInsensitive)) {
        sckMail->SendData(sendmail::EncodeBase64String(m_Password));
        // The password is never traced.
        RaiseDebugPrint(m_Username);
    } else {
        sckMail->SendData(CRLF + "*" + CRLF);
        RaiseDebugPrint(CRLF + "*");
    }
}

void clsSendMail::Pop3Step() {
    switch (PopStep) {
    case 0:
        sckMail->SendData("USER " + m_Username + CRLF);
        RaiseDebugPrint("USER " + m_Username);
        PopStep = 1;
        break;
    case 1:
        sckMail->SendData("PASS " + m_Password + CRLF);
        // The trace never shows the password.
        RaiseDebugPrint(QStringLiteral("PASS ****"));
        PopStep = 2;
        break;
    case 2:
        sendCommand(QStringLiteral("QUIT"));
        PopStep = 3;
        break;
    case 3:
        PopDone = true;
        PopStep = 0;
        break;
    default:
        break;
    }
}
