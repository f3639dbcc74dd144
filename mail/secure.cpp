// Secure submission: TLS on the connection, from the first byte (RFC 8314)
// or after STARTTLS (RFC 3207), and SASL authentication (RFC 4954) with the
// mechanisms of sasl/. None of it runs unless the owner sets TLSMode or
// AuthMechanism: the defaults keep the clear-text dialogue and AUTH LOGIN.
#include "mail/send_mail.h"

#include "net/socket.h"
#include "net/tls_policy.h"
#include "sasl/sasl_client.h"

#include <QStringList>

#include <algorithm>

namespace {

const QString CRLF = QStringLiteral("\r\n");

} // namespace

bool clsSendMail::StartTlsHandshake(bool implicit) {
    if (implicit && m_AnyDataSeen) {
        // The server greeted in clear text before the handshake began.
        AddError(sendmail::AnswersInClearText(quint16(m_SMTPPort)));
        ReportFailure();
        return false;
    }
    emit status(QStringLiteral("Starting TLS..."));
    WinSck::TlsSettings settings;
    settings.peerName = m_SMTPHost.trimmed();
    settings.verify = m_TLSVerify;
    settings.caFile = m_TLSCAFile;
    settings.fingerprint = sendmail::ParseFingerprint(m_TLSFingerprint).value_or(QByteArray());
    settings.implicit = implicit;
    m_TlsReady = false;
    ReplyOK = false;
    RaiseDebugPrint(QStringLiteral("TLS handshake with ") + settings.peerName);
    sckMail->StartTls(settings);
    if (!WaitForReply(m_TlsReady, m_ConnectTimeout, false)) {
        if (!Aborted) {
            AddError(QStringLiteral("TLS: the handshake did not finish within %1 seconds")
                         .arg(m_ConnectTimeout));
            ReportFailure();
        }
        return false;
    }
    const QSslCertificate certificate = sckMail->PeerCertificate();
    RaiseDebugPrint(
        QStringLiteral("TLS established: %1; certificate %2, SHA-256 %3")
            .arg(sckMail->TlsDescription(), certificate.subjectDisplayName(),
                 sendmail::FingerprintText(certificate.digest(QCryptographicHash::Sha256))));
    emit status(QStringLiteral("TLS established (") + sckMail->TlsDescription() +
                QStringLiteral(")..."));
    return !Aborted;
}

bool clsSendMail::StartTlsCommand(const QString &helloCommand) {
    if (!OffersStartTls) {
        if (m_TLSMode == 2) {
            AddError(QStringLiteral("TLS: the server does not offer STARTTLS"));
            ReportFailure();
            return false;
        }
        return true;
    }
    ReplyOK = false;
    m_StartTlsSent = true;
    sendCommand(QStringLiteral("STARTTLS"));
    const bool accepted = WaitForReply(ReplyOK, m_ConnectTimeout, true);
    m_StartTlsSent = false;
    if (!accepted || Aborted || !StartTlsHandshake(false)) {
        return false;
    }
    // What the server said before TLS is forgotten, and asked again.
    m_EhloReply.clear();
    AuthLoginOffered = false;
    AuthEqLoginOffered = false;
    Offers8BitMime = false;
    OffersSmtpUtf8 = false;
    OffersPipelining = false;
    OffersStartTls = false;
    ReplyOK = false;
    ReadingEhlo = true;
    sendCommand(helloCommand);
    const bool answered = WaitForReply(ReplyOK, m_ConnectTimeout, true);
    ReadingEhlo = false;
    if (!answered) {
        return false;
    }
    return !Aborted;
}

bool clsSendMail::SaslLogin() {
    const QStringList offered = sasl::OfferedMechanisms(m_EhloReply);
    const bool protectedLink = sckMail->IsEncrypted() || sckMail->PeerAddress().isLoopback();
    std::optional<sasl::Mechanism> mechanism;
    if (m_AuthMechanism.compare(QLatin1StringView("AUTO"), Qt::CaseInsensitive) == 0) {
        mechanism = sasl::ChooseMechanism(offered, !m_OAuthToken.isEmpty(), protectedLink);
        if (!mechanism) {
            AddError(offered.isEmpty()
                         ? QStringLiteral("Login: the server offers no authentication")
                         : QStringLiteral("Login: none of the mechanisms the server offers (%1) "
                                          "can be used%2")
                               .arg(offered.join(u' '),
                                    protectedLink ? QString() : QStringLiteral(" without TLS")));
        }
    } else {
        mechanism = sasl::MechanismFromName(m_AuthMechanism);
        if (!mechanism) {
            AddError(
                QStringLiteral("Login: the mechanism %1 is not supported").arg(m_AuthMechanism));
        } else if (!offered.contains(sasl::MechanismName(*mechanism), Qt::CaseInsensitive)) {
            AddError(QStringLiteral("Login: the server does not offer %1 (it offers: %2)")
                         .arg(sasl::MechanismName(*mechanism),
                              offered.isEmpty() ? QStringLiteral("none") : offered.join(u' ')));
            mechanism.reset();
        }
    }
    if (!mechanism) {
        emit status(QStringLiteral("Host Login Failed!"));
        ReportFailure();
        return false;
    }

    const QString name = sasl::MechanismName(*mechanism);
    emit status(QStringLiteral("Sending Login Authentication (") + name + QStringLiteral(")..."));
    m_Sasl = std::make_unique<sasl::Client>(
        *mechanism, sasl::Credentials{m_Username, m_Password, m_OAuthToken, m_SMTPHost.trimmed(),
                                      quint16(m_SMTPPort)});
    QString line = QStringLiteral("AUTH ") + name;
    QString trace = line;
    // RFC 4954 section 4: the first response may ride on the AUTH line, "="
    // standing for an empty one; it saves the server's empty challenge.
    if (const std::optional<QByteArray> first = m_Sasl->initialResponse()) {
        line += u' ' +
                (first->isEmpty() ? QStringLiteral("=") : QString::fromLatin1(first->toBase64()));
        trace += QStringLiteral(" ****");
    }
    AuthAccepted = false;
    sckMail->SendData(line + CRLF);
    RaiseDebugPrint(trace);
    const bool accepted = WaitForReply(AuthAccepted, std::max(5, m_ConnectTimeout), false);
    const bool proven = m_Sasl->finished();
    const QString why = m_Sasl->error();
    m_Sasl.reset();
    if (Aborted) {
        return false;
    }
    if (!accepted || !proven) {
        emit status(QStringLiteral("Host Login Failed!"));
        AddError(!accepted ? QStringLiteral("Login: ") + name + QStringLiteral(" failed") +
                                 (why.isEmpty() ? QString() : QStringLiteral(": ") + why)
                           : QStringLiteral("Login: the server did not prove that it knows the "
                                            "password"));
        ReportFailure();
        return false;
    }
    emit status(QStringLiteral("Host Login OK!"));
    return true;
}

void clsSendMail::AnswerSaslChallenge(const QString &reply) {
    const QByteArray challenge = QByteArray::fromBase64(reply.mid(4).trimmed().toLatin1());
    const std::optional<QByteArray> answer = m_Sasl->respond(challenge);
    if (!answer) {
        // RFC 4954 section 4: "*" cancels; the server's refusal that follows
        // carries this reason along.
        AddError(QStringLiteral("Login: ") + m_Sasl->error());
        sendCommand(QStringLiteral("*"));
        return;
    }
    sckMail->SendData(answer->toBase64() + "\r\n");
    RaiseDebugPrint(QStringLiteral("****"));
}

bool clsSendMail::ArrivalToDrop(const QString &data) {
    if (m_DiscardBeforeTls) {
        // After the server's consent to STARTTLS nothing counts until the
        // handshake: such bytes may have been put there by someone else.
        return true;
    }
    if (m_AnyDataSeen || (m_TLSMode != 1 && m_TLSMode != 2) ||
        sendmail::ClassifyFirstBytes(data.toLatin1()) != sendmail::FirstBytes::TlsHandshake) {
        return false;
    }
    AddError(sendmail::ExpectsImplicitTlsText(quint16(m_SMTPPort)));
    ReportFailure();
    return true;
}

bool clsSendMail::ReportSilentGreeting() {
    if ((m_TLSMode != 1 && m_TLSMode != 2) || m_AnyDataSeen || !SocketConnected) {
        return false;
    }
    // A server that waits for the client to speak first is waiting for a
    // TLS handshake.
    AddError(sendmail::ExpectsImplicitTlsText(quint16(m_SMTPPort)) +
             QStringLiteral(" (no greeting within %1 seconds)").arg(m_ConnectTimeout));
    ReportFailure();
    return true;
}

void clsSendMail::sckMail_TlsReady() {
    m_DiscardBeforeTls = false;
    m_TlsReady = true;
    wake();
}

void clsSendMail::sckMail_TlsFailed(const QString &reason) {
    m_DiscardBeforeTls = false;
    AddError(QStringLiteral("TLS: ") + reason);
    ReportFailure();
    wake();
}
