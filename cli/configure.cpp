#include "cli/configure.h"

#include "mail/send_mail.h"
#include "mail/validation.h"

namespace kelmsend {

namespace {

QString joined(const QStringList &list) {
    return list.join(kListDelimiter);
}

} // namespace

sendmail::SmtpSettings SessionSettings(const Options &o, const QString &password,
                                       const QString &oauthToken) {
    sendmail::SmtpSettings s;
    if (!o.dryRun) {
        s.host = o.server;
        if (!o.pop3Host.isEmpty()) {
            s.pop3Host = o.pop3Host;
            s.popBeforeSmtp = true;
        }
    }
    if (o.port != 0) {
        s.port = o.port;
    }
    if (o.connectTimeout > 0) {
        s.connectTimeout = o.connectTimeout;
    }
    if (o.messageTimeout > 0) {
        s.messageTimeout = o.messageTimeout;
    }
    if (o.retries > 0) {
        s.connectRetry = o.retries;
    }
    s.hallo = o.hello;
    s.tlsMode = static_cast<int32_t>(EffectiveTlsMode(o));
    s.tlsVerify = !o.tlsInsecure;
    s.tlsCaFile = o.tlsCa;
    s.tlsFingerprint = sendmail::ParseFingerprint(o.tlsFingerprint).value_or(QByteArray());
    if (o.auth) {
        s.useAuthentication = true;
        s.authMechanism = o.authMech.isEmpty() ? QStringLiteral("AUTO") : o.authMech;
        s.oauthToken = oauthToken;
        s.allowPlaintextAuth = o.allowPlaintextAuth;
    }
    // XOAUTH2 and OAUTHBEARER carry the user name beside the token.
    if (o.logsIn()) {
        s.username = o.user;
    }
    if (o.needsPassword()) {
        s.password = password;
    }
    s.pipelining = !o.noPipelining;
    return s;
}

void ConfigureSession(clsSendMail &mail, const Options &o, const QString &password,
                      const QString &oauthToken) {
    const sendmail::SmtpSettings s = SessionSettings(o, password, oauthToken);
    mail.setDelimiter(QString(kListDelimiter));
    if (o.noValidate) {
        mail.setEmailAddressValidation(0);
        mail.setSMTPHostValidation(0);
    }
    if (!s.host.isEmpty()) {
        mail.setSMTPHost(s.host);
    }
    if (s.popBeforeSmtp) {
        mail.setPOP3Host(s.pop3Host);
        mail.setUsePopAuthentication(true);
    }
    // Each of these is the component's default unless the options gave it.
    mail.setSMTPPort(s.port);
    mail.setConnectTimeout(s.connectTimeout);
    mail.setMessageTimeout(s.messageTimeout);
    mail.setConnectRetry(s.connectRetry);
    if (!s.hallo.isEmpty()) {
        mail.setHallo(s.hallo);
    }
    mail.setTLSMode(s.tlsMode);
    mail.setTLSVerify(s.tlsVerify);
    mail.setTLSCAFile(s.tlsCaFile);
    if (!o.tlsFingerprint.isEmpty()) {
        mail.setTLSFingerprint(o.tlsFingerprint);
    }
    if (s.useAuthentication) {
        mail.setUseAuthentication(true);
        mail.setAuthMechanism(s.authMechanism);
        mail.setOAuthToken(s.oauthToken);
        mail.setAllowPlaintextAuth(s.allowPlaintextAuth);
    }
    if (o.logsIn()) {
        mail.setUsername(s.username);
    }
    if (o.needsPassword()) {
        mail.setPassword(s.password);
    }
}

void Configure(clsSendMail &mail, const Options &o, const Inputs &in) {
    ConfigureSession(mail, o, in.password, in.oauthToken);

    mail.setFrom(o.from);
    mail.setFromDisplayName(o.fromName);
    mail.setRecipient(joined(o.to));
    mail.setRecipientDisplayName(joined(o.toNames));
    mail.setCcRecipient(joined(o.cc));
    mail.setCcDisplayName(joined(o.ccNames));
    mail.setBccRecipient(joined(o.bcc));
    mail.setReplyToAddress(o.replyTo);
    mail.setSubject(o.subject);
    mail.setAsHTML(o.html);
    mail.setContentBase(o.contentBase);
    mail.setEncodeType(o.uuencode ? 1 : 0);
    if (o.prioritySet) {
        mail.setPriority(o.priority);
    }
    mail.setReceipt(o.receipt);
    mail.setMessage(in.body);
    mail.setAttachment(joined(o.attachments));
}

SendRun RunSend(clsSendMail &mail, Reporter &reporter, const std::function<void()> &send) {
    SendRun run;
    // Disconnected when this returns: the component outlives the lambdas'
    // captures.
    const QList<QMetaObject::Connection> links{
        QObject::connect(&mail, &clsSendMail::status,
                         [&](const QString &s) {
                             run.statuses << s;
                             reporter.Status(s);
                         }),
        QObject::connect(&mail, &clsSendMail::DebugPrint,
                         [&](const QVariant &t) { reporter.Trace(t); }),
        QObject::connect(&mail, &clsSendMail::Progress, [&](int p) { reporter.Progress(p); }),
        QObject::connect(&mail, &clsSendMail::SendFailed,
                         [&](const QString &why) { run.failures << why; }),
        QObject::connect(&mail, &clsSendMail::SendSuccesful, [&] { run.sent = true; })};
    send();
    for (const QMetaObject::Connection &link : links) {
        QObject::disconnect(link);
    }
    return run;
}

int ReportSend(Reporter &reporter, const SendRun &run, QStringList *failuresOut) {
    reporter.Finish();
    if (failuresOut) {
        *failuresOut = run.failures;
    }
    if (!run.failures.isEmpty()) {
        for (const QString &why : run.failures) {
            reporter.Error(why.trimmed().isEmpty() ? QStringLiteral("the send failed") : why);
        }
        return kExitFailed;
    }
    if (!run.sent) {
        reporter.Error(QStringLiteral("the send ended without an outcome"));
        return kExitFailed;
    }
    return kExitSent;
}

int Deliver(clsSendMail &mail, Reporter &reporter, const std::function<void()> &send,
            QStringList *failuresOut) {
    return ReportSend(reporter, RunSend(mail, reporter, send), failuresOut);
}

QString CheckAddresses(const Options &o) {
    if (o.noValidate) {
        return QString();
    }
    const QList<QPair<QString, QStringList>> lists{
        {"--from", {o.from}}, {"--to", o.to}, {"--cc", o.cc}, {"--bcc", o.bcc}};
    for (const auto &[option, addresses] : lists) {
        for (const QString &address : addresses) {
            if (!sendmail::IsValidEmailAddress(address)) {
                return option + ": not a valid e-mail address: " + address +
                       " (--no-validate sends it unchecked)";
            }
        }
    }
    return QString();
}

} // namespace kelmsend
