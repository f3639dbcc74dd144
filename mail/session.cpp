// The conversation with the mail servers: POP3 before SMTP, the SMTP
// connection, greeting, EHLO/HELO and AUTH LOGIN, the handling of every
// reply, the waits with their time limits, the orderly close and the
// reporting of failures.
//
// SMTP: RFC 5321 (replies, multi-line replies with "-" after the code).
// AUTH LOGIN: RFC 4954 (the 334 prompts answered in Base64).
// POP3: RFC 1939 (USER, PASS, QUIT).
#include "mail/send_mail.h"

#include "mail/clock.h"
#include "mime/encoders.h"
#include "mail/error_texts.h"
#include "mail/progress.h"
#include "net/socket.h"
#include "mail/validation.h"
#include "wait/msg_wait.h"

#include <QCoreApplication>

#include <exception>
#include <limits>
#include <sys/eventfd.h>
#include <unistd.h>

namespace {

const QString CRLF = QStringLiteral("\r\n");
using sendmail::MsgPOP3Host;
using sendmail::MsgSMTPHost;
using sendmail::MsgTimeout;

// A server may send this much without ending its reply; past it the reply
// is judged as it stands, so a peer that never sends CRLF cannot make the
// component buffer without limit.
constexpr qsizetype MaxReplyLength = 64 * 1024;

// Length of the first complete reply at the start of `buffer`, or 0 when it
// is not complete yet. A reply ends with the first CRLF-terminated line that
// is not a continuation line (fourth character "-").
qsizetype completeReplyLength(const QString &buffer) {
    qsizetype lineStart = 0;
    for (;;) {
        qsizetype crlf = buffer.indexOf(CRLF, lineStart);
        if (crlf < 0) {
            return 0;
        }
        const qsizetype lineLength = crlf - lineStart;
        const bool continuation = lineLength >= 4 && buffer[lineStart + 3] == QLatin1Char('-');
        lineStart = crlf + 2;
        if (!continuation) {
            return lineStart;
        }
    }
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
    if (!WaitForReply(ReplyOK, m_ConnectTimeout, false) || !SocketConnected) {
        ReportTimeout();
        return false;
    }
    emit status(QStringLiteral("Initializing Communications..."));
    ReplyOK = false;

    const QString word = m_UseAuthentication ? QStringLiteral("EHLO ") : QStringLiteral("HELO ");
    QString name;
    if (!sendmail::TrimBlanks(m_Hallo).isEmpty()) {
        name = m_Hallo;
    } else {
        const QString &sender = sessionSender();
        const qsizetype at = sender.indexOf(QLatin1Char('@'));
        name = at >= 0 ? sender.mid(at + 1) : sender;
    }
    sendCommand(word + name);
    if (!WaitForReply(ReplyOK, m_ConnectTimeout, true)) {
        return false;
    }
    if (!m_UseAuthentication) {
        return true;
    }
    return AuthLogin();
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
    sendmail::MidnightStopwatch stopwatch;
    if (flag) {
        return true;
    }
    for (;;) {
        if (stopwatch.Elapsed() >= limit) {
            if (reportTimeout) {
                ReportTimeout();
            }
            return false;
        }
        if (Aborted) {
            return false;
        }
        pumpEvents();
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
    if (sckMail->State() == WinSck::sckConnected) {
        ReplyOK = false;
        sendCommand(QStringLiteral("QUIT"));
        WaitForReply(ReplyOK, 2, false);
    }
    sckMail->Close();
    m_ReplyBuffer.clear();
}

void clsSendMail::ReportFailure() {
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

void clsSendMail::sendLine(const QString &text) {
    sckMail->SendData(text);
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
    m_ReplyBuffer += data;
    // Arrivals are assembled into complete replies: a segment boundary inside
    // a line must not be judged as a reply of its own. Each complete reply is
    // traced and judged once, in order, even when several arrive together.
    for (;;) {
        qsizetype length = completeReplyLength(m_ReplyBuffer);
        if (length == 0) {
            if (m_ReplyBuffer.size() > MaxReplyLength) {
                length = m_ReplyBuffer.size();
            } else {
                break;
            }
        }
        const QString reply = m_ReplyBuffer.left(length);
        m_ReplyBuffer.remove(0, length);
        HandleReply(reply);
        if (sckMail->State() != WinSck::sckConnected) {
            m_ReplyBuffer.clear();
            break;
        }
    }
    wake();
}

void clsSendMail::HandleReply(const QString &reply) {
    if (sendmail::TrimBlanks(reply).isEmpty()) {
        RaiseDebugPrint(QStringLiteral("**Empty**"));
    } else {
        RaiseDebugPrint(reply);
    }
    const QString code = reply.left(3).toUpper();
    if (code == QLatin1String("220") || code == QLatin1String("221") ||
        code == QLatin1String("251")) {
        ReplyOK = true;
    } else if (code == QLatin1String("250")) {
        ReplyOK = true;
        if (reply.contains(QLatin1String("auth login"), Qt::CaseInsensitive)) {
            AuthLoginOffered = true;
        }
        if (reply.contains(QLatin1String("auth=login"), Qt::CaseInsensitive)) {
            AuthEqLoginOffered = true;
        }
    } else if (code == QLatin1String("235")) {
        AuthAccepted = true;
    } else if (code == QLatin1String("334")) {
        AnswerAuthPrompt(reply);
    } else if (code == QLatin1String("354")) {
        DataReady = true;
    } else if (code == QLatin1String("211") || code == QLatin1String("214")) {
        // Help and status replies change nothing.
    } else if (code == QLatin1String("+OK")) {
        Pop3Step();
    } else {
        if (code == QLatin1String("-ER")) {
            PopDone = false;
            PopStep = 0;
            Aborted = true;
        }
        AddError(reply);
        ReportFailure();
    }
}

void clsSendMail::AnswerAuthPrompt(const QString &reply) {
    QString prompt = sendmail::TrimBlanks(reply.mid(3));
    prompt.remove(CRLF);
    const QString decoded = sendmail::DecodeBase64String(prompt);
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
