#include "outbox/smtp_driver.h"

#include "mail/message_source.h"
#include "net/socket.h"

#include <QRegularExpression>
#include <QSysInfo>
#include <QTimer>

#include <algorithm>
#include <limits>
#include <memory>

namespace outbox {

namespace {

// The reply code a text begins with, or 0.
int LeadingCode(const QString &text) {
    if (text.size() < 3 || !text[0].isDigit() || !text[1].isDigit() || !text[2].isDigit() ||
        (text.size() > 3 && text[3].isDigit())) {
        return 0;
    }
    return text.left(3).toInt();
}

// The socket's error number at the head of a connection failure
// ("10061 - Connection refused"), or 0.
int SocketErrorNumber(const QString &explanation) {
    static const QRegularExpression head(QStringLiteral("^(\\d{4,5}) - "));
    const QRegularExpressionMatch m = head.match(explanation);
    return m.hasMatch() ? m.captured(1).toInt() : 0;
}

// Codes that only a login step gives (RFC 4954, section 6): wherever they
// come, they speak of the account, not of the recipients.
bool IsLoginCode(int code) {
    return code == 530 || code == 534 || code == 535 || code == 538;
}

bool HasLineBreakOrNul(const QString &text) {
    return text.contains(QLatin1Char('\r')) || text.contains(QLatin1Char('\n')) ||
           text.contains(QChar(0));
}

} // namespace

SmtpStage StageAfter(SmtpStage stage, const QString &traceLine) {
    const auto starts = [&traceLine](const char *word) {
        return traceLine.startsWith(QLatin1String(word), Qt::CaseInsensitive);
    };
    if (starts("STARTTLS") || starts("TLS handshake with")) {
        return SmtpStage::Tls;
    }
    if (starts("AUTH XOAUTH2") || starts("AUTH OAUTHBEARER")) {
        return SmtpStage::TokenLogin;
    }
    if (starts("AUTH ")) {
        return SmtpStage::Login;
    }
    if (starts("MAIL FROM")) {
        return SmtpStage::Envelope;
    }
    return stage;
}

AttemptOutcome MapOutcome(const sendmail::SmtpOutcome &outcome, SmtpStage stage,
                          bool finalDotWritten, const QString &dotReply) {
    using Kind = sendmail::SmtpOutcome::Kind;
    AttemptOutcome result;
    result.finalDotWritten = finalDotWritten || outcome.delivered();
    result.reply = outcome.explanation.trimmed();
    result.code = LeadingCode(result.reply);
    const bool token = outcome.tokenRefused || stage == SmtpStage::TokenLogin;
    switch (outcome.kind) {
    case Kind::Delivered:
        result.kind = OutcomeKind::Ok;
        result.reply = dotReply.trimmed();
        result.code = LeadingCode(result.reply);
        if (result.code == 0) {
            result.code = 250;
        }
        break;
    case Kind::Reply:
        if (outcome.code != 0) {
            result.code = outcome.code;
        }
        if (outcome.tokenRefused || stage == SmtpStage::Login || stage == SmtpStage::TokenLogin ||
            IsLoginCode(result.code)) {
            result.kind = token ? OutcomeKind::Token : OutcomeKind::Login;
        } else if (stage == SmtpStage::Tls) {
            result.kind = OutcomeKind::Tls;
        } else if (stage == SmtpStage::Greeting) {
            // The server would not talk to us: nothing about the recipients.
            result.kind = OutcomeKind::ConnectionRefused;
        } else {
            result.kind = OutcomeKind::Refused;
        }
        break;
    case Kind::Login:
        result.kind = token ? OutcomeKind::Token : OutcomeKind::Login;
        break;
    case Kind::Tls:
        result.kind = OutcomeKind::Tls;
        break;
    case Kind::Connect:
        switch (SocketErrorNumber(result.reply)) {
        case WinSck::sckHostNotFound:
            result.kind = OutcomeKind::Dns;
            break;
        case WinSck::sckConnectionRefused:
        case WinSck::sckHostUnreachable:
        case WinSck::sckNetworkUnreachable:
        case WinSck::sckNetworkDown:
            result.kind = OutcomeKind::ConnectionRefused;
            break;
        case WinSck::sckTimedOut:
            result.kind = OutcomeKind::TimedOut;
            break;
        default:
            result.kind = OutcomeKind::ConnectionLost;
            break;
        }
        break;
    case Kind::Timeout:
        result.kind = OutcomeKind::TimedOut;
        break;
    case Kind::Cancelled:
        result.kind = OutcomeKind::Cancelled;
        break;
    case Kind::Message:
        result.kind = OutcomeKind::Local;
        break;
    }
    return result;
}

SmtpDriver::SmtpDriver(const sendmail::SmtpSettings &settings, QObject *parent)
    : DeliveryDriver(parent), m_Settings(settings) {}

SmtpDriver::~SmtpDriver() {
    dropSession();
}

void SmtpDriver::dropSession() {
    if (!m_Session) {
        return;
    }
    // A session still closing (QUIT) ends by itself and deletes itself then.
    m_Session->disconnect(this);
    m_Session->SetFinalDotHook({});
    if (!m_Session->IsRunning()) {
        m_Session->deleteLater();
    }
    m_Session.clear();
}

void SmtpDriver::start(const DeliveryJob &job) {
    if (m_Active && m_Session) {
        // The owner gave the last attempt up: its connection ends without
        // the final "." it has not been told of.
        m_Session->Abandon();
    }
    dropSession();
    ++m_Serial;
    m_Active = true;
    m_Cancelled = false;
    m_DotWritten = false;
    m_DotTraced = false;
    m_Forwarded = 0;
    m_Stage = SmtpStage::Greeting;
    m_DotReply.clear();

    if (!job.message || !job.message->isReadable()) {
        finishLocal(QStringLiteral("the message cannot be read"));
        return;
    }
    if (job.recipients.isEmpty()) {
        finishLocal(QStringLiteral("no recipient to send to"));
        return;
    }
    // Nothing from the queue file may carry a line break into a command.
    if (HasLineBreakOrNul(job.sender) ||
        std::any_of(job.recipients.begin(), job.recipients.end(), HasLineBreakOrNul)) {
        finishLocal(QStringLiteral("line break or NUL character in the envelope"));
        return;
    }

    sendmail::SmtpSettings settings = m_Settings;
    settings.partialDelivery = true;
    settings.keepConnection = false;
    if (settings.helloSender.isEmpty()) {
        settings.helloSender = job.sender;
    }
    if (settings.hallo.trimmed().isEmpty() && !settings.helloSender.contains(QLatin1Char('@'))) {
        // A notice's sender is <>: the greeting names this machine.
        const QString host = QSysInfo::machineHostName();
        settings.hallo = host.isEmpty() ? QStringLiteral("localhost") : host;
    }
    settings.totalBytes =
        static_cast<int32_t>(std::clamp<qint64>(job.size, 0, std::numeric_limits<int32_t>::max()));

    auto *session = new sendmail::SmtpSession(this);
    m_Session = session;
    connect(session, &sendmail::SmtpSession::Finished, session, &QObject::deleteLater);
    connect(session, &sendmail::SmtpSession::Trace, this, &SmtpDriver::onTrace);
    connect(session, &sendmail::SmtpSession::Outcome, this, &SmtpDriver::onOutcome);
    session->SetFinalDotHook(
        [this](const QList<sendmail::RecipientReply> &replies) { onFinalDot(replies); });
    session->Send(settings, std::make_unique<sendmail::RelayedMessage>(job.sender, job.recipients,
                                                                       job.message));
}

void SmtpDriver::cancel() {
    if (!m_Active) {
        return;
    }
    m_Cancelled = true;
    if (m_Session) {
        // Without an outcome pending, the one already on its way follows.
        m_Session->Cancel();
    }
}

void SmtpDriver::forwardReplies(const QList<sendmail::RecipientReply> &replies) {
    for (; m_Forwarded < replies.size(); ++m_Forwarded) {
        const sendmail::RecipientReply &r = replies[m_Forwarded];
        emit recipientResult(r.address, r.code, r.reply.trimmed());
    }
}

void SmtpDriver::onFinalDot(const QList<sendmail::RecipientReply> &replies) {
    if (!m_Active) {
        return;
    }
    // The runner records every RCPT verdict before the "." goes out; the
    // session's own reports of them may still be queued.
    forwardReplies(replies);
    emit finalDotAhead();
    m_DotWritten = m_Active && !m_Cancelled;
}

void SmtpDriver::onTrace(const QString &text) {
    emit trace(text);
    m_Stage = StageAfter(m_Stage, text);
    if (m_DotWritten && !m_DotTraced) {
        m_DotTraced = text == QLatin1String(".");
    } else if (m_DotTraced && m_DotReply.isEmpty() && LeadingCode(text) != 0) {
        m_DotReply = text;
    }
}

void SmtpDriver::onOutcome(const sendmail::SmtpOutcome &outcome) {
    if (!m_Active) {
        return;
    }
    forwardReplies(outcome.recipients);
    m_Active = false;
    emit finished(MapOutcome(outcome, m_Stage, m_DotWritten, m_DotReply));
}

void SmtpDriver::finishLocal(const QString &why) {
    const quint64 serial = m_Serial;
    QTimer::singleShot(0, this, [this, serial, why] {
        if (!m_Active || serial != m_Serial) {
            return;
        }
        m_Active = false;
        AttemptOutcome outcome;
        outcome.kind = OutcomeKind::Local;
        outcome.reply = why;
        emit finished(outcome);
    });
}

} // namespace outbox
