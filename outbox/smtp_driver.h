// The delivery driver for a real server: one SmtpSession conversation per
// attempt, the queued message relayed from the job's device as it stands
// (line breaks made CRLF, leading dots doubled), the data sent to the
// recipients the server accepted (partial delivery) and the connection
// closed after each attempt.
//
// The session's outcome is told in the runner's terms (MapOutcome below):
//
//   session says                          attempt outcome
//   delivered                             Ok, the reply to the final "."
//   a 4xx/5xx to MAIL, RCPT, DATA or "."  Refused, with its code
//   a refusal of the greeting or HELO     ConnectionRefused
//   a refusal of STARTTLS, a TLS failure  Tls
//   any failure while logging in, or a    Login (Token for XOAUTH2 and
//   530/534/535/538 wherever it comes     OAUTHBEARER, or a refused token)
//   host not found                        Dns
//   connection refused or unreachable     ConnectionRefused
//   connection lost or closed             ConnectionLost
//   no answer in time                     TimedOut
//   cancelled                             Cancelled
//   the message or envelope unusable      Local
//
// finalDotWritten is true once the "." has been written (it is not written
// when the runner cancels from inside finalDotAhead), so a loss after it
// leaves the message uncertain.
#pragma once

#include "mail/smtp_session.h"
#include "outbox/delivery_driver.h"

#include <QPointer>

namespace outbox {

// How far the conversation had come when it ended, as the session's trace
// shows it.
enum class SmtpStage { Greeting, Tls, Login, TokenLogin, Envelope };

// The stage after a line of the session's trace.
[[nodiscard]] SmtpStage StageAfter(SmtpStage stage, const QString &traceLine);

// The attempt's outcome from the session's, the stage it ended in and
// whether the final "." was written; `dotReply` is the server's answer to
// it when it was taken.
[[nodiscard]] AttemptOutcome MapOutcome(const sendmail::SmtpOutcome &outcome, SmtpStage stage,
                                        bool finalDotWritten, const QString &dotReply);

class SmtpDriver : public DeliveryDriver {
    Q_OBJECT
public:
    // `settings`: the account's connection; partial delivery is always on
    // and the connection never kept. The hello name falls back to the
    // envelope sender's domain when the settings give none, and to this
    // machine's name for the empty sender <>.
    explicit SmtpDriver(const sendmail::SmtpSettings &settings, QObject *parent = nullptr);
    ~SmtpDriver() override;

    void setSettings(const sendmail::SmtpSettings &settings) { m_Settings = settings; }
    const sendmail::SmtpSettings &settings() const { return m_Settings; }

    void start(const DeliveryJob &job) override;
    void cancel() override;

signals:
    // The session's trace of the attempt (passwords masked by the session).
    void trace(const QString &text);

private:
    void forwardReplies(const QList<sendmail::RecipientReply> &replies);
    void onFinalDot(const QList<sendmail::RecipientReply> &replies);
    void onTrace(const QString &text);
    void onOutcome(const sendmail::SmtpOutcome &outcome);
    void finishLocal(const QString &why);
    void dropSession();

    sendmail::SmtpSettings m_Settings;
    QPointer<sendmail::SmtpSession> m_Session;
    quint64 m_Serial = 0;
    bool m_Active = false;
    bool m_Cancelled = false;
    bool m_DotWritten = false;
    bool m_DotTraced = false;
    qsizetype m_Forwarded = 0;
    SmtpStage m_Stage = SmtpStage::Greeting;
    QString m_DotReply;
};

} // namespace outbox
