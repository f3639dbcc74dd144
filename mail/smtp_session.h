// SmtpSession: one conversation with a mail server at a time, driven by the
// socket's events and never waiting in a loop of its own.
//
// The owner fills SmtpSettings and calls Open (connect and greet), Send
// (open when needed, envelope, data, close unless the settings keep the
// connection), Close (QUIT) or Cancel. Each call returns at once; what
// happens is told through the signals, always from the event queue of the
// session's thread, never from inside one of its methods. The owner may
// delete the session from any of its handlers. A run ends with Finished;
// Send and Open failures end with exactly one Outcome before it (Send's
// success too); Close ends without one.
//
// States of a run, in order (each step sends, then waits for the reply
// that moves on; every wait has the limit given):
//
//   pop3        POP3 before SMTP when asked: connect to port 110 and log in
//               (USER, PASS, QUIT as "+OK" replies come; ConnectTimeout).
//               A silent POP3 server does not stop the send.
//   connecting  up to ConnectRetry attempts of ConnectTimeout each; implicit
//               TLS (mode 3) runs its handshake right after the connect.
//   greeting    the server's 220, ConnectTimeout.
//   hello       EHLO (or HELO); a 500/502 to EHLO without a login to lose
//               is answered with HELO. STARTTLS (modes 1, 2) and a second
//               EHLO follow when offered.
//   login       AUTH LOGIN, or a SASL mechanism (sasl/), 5 s or more. With
//               renewToken, a refused OAuth token waits for the owner's
//               fresh one (TokenRefused, ProvideToken) and logs in once more.
//   envelope    MAIL FROM, one RCPT TO per recipient, DATA; pipelined in one
//               write when the server offers it and the settings ask.
//               Each RCPT reply is reported by RecipientResult.
//   data        the source's pieces, flow-controlled by the socket's
//               progress, then "." (pipelined: "." and QUIT in one write).
//   end of data the server's verdict on the message, MessageTimeout.
//   closing     QUIT, 2 s for its reply, then the socket is closed. After a
//               pipelined DATA whose reply is not judged yet, or when the
//               run was cancelled, the socket is closed without QUIT.
//
// A failure at any step reports Outcome (delivered false, with its kind),
// then closes. A run started while the previous one is still closing
// drops that connection first.
#pragma once

#include "mail/clock.h"
#include "mail/message_source.h"
#include "mail/reply_reader.h"
#include "mail/session_task.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>

class WinSck;

namespace sasl {
class Client;
}

namespace sendmail {

struct SmtpSettings {
    QString host;
    int32_t port = 25;
    // POP3 before SMTP: a login on pop3Host:110 first.
    bool popBeforeSmtp = false;
    QString pop3Host;
    bool useAuthentication = false;
    // "" AUTH LOGIN; "AUTO" or a mechanism's name: sasl/.
    QString authMechanism;
    QString username;
    QString password;
    QString oauthToken;
    // The name after EHLO/HELO: hallo when not blank, else the domain of
    // helloSender.
    QString hallo;
    QString helloSender;
    // Greet with EHLO even without login, TLS or pipelining (the message
    // needs an extension).
    bool wantsExtensions = false;
    // 0 none; 1 STARTTLS when offered; 2 STARTTLS or fail; 3 implicit TLS.
    int32_t tlsMode = 0;
    bool tlsVerify = true;
    QString tlsCaFile;
    QByteArray tlsFingerprint; // SHA-256, empty for none
    int32_t connectRetry = 4;
    int32_t connectTimeout = 30;
    int32_t messageTimeout = 60;
    bool pipelining = false;
    // Send the data when at least one recipient was accepted.
    bool partialDelivery = false;
    // Let a mechanism that shows the secret run on a connection that is
    // neither encrypted nor to a loopback address.
    bool allowPlaintextAuth = false;
    // Leave the connection open after a send.
    bool keepConnection = false;
    // When the server refuses the OAuth token (535 to XOAUTH2 or
    // OAUTHBEARER), ask the owner for a fresh one (TokenRefused) and log in
    // once more with it, once a run, instead of failing at once.
    bool renewToken = false;
    // Seconds the owner has to answer TokenRefused.
    int32_t tokenAnswerTimeout = 300;
    // What 100 percent of Progress stands for (envelope and message).
    int32_t totalBytes = 0;
};

struct RecipientReply {
    QString address;
    int code = 0;
    QString reply;
};

struct SmtpOutcome {
    enum class Kind {
        Delivered,
        Connect,   // the connection could not be made or broke (DNS included)
        Tls,       // handshake or certificate
        Login,     // refused or impossible login
        Reply,     // a 4xx/5xx reply (code says which)
        Timeout,   // the server did not answer in time
        Cancelled, // Cancel
        Message,   // the message or its addresses cannot be sent as given
    };
    Kind kind = Kind::Delivered;
    bool delivered() const { return kind == Kind::Delivered; }
    // The joined error texts; "" on delivery.
    QString explanation;
    // The refusing reply's code (Reply), or 0.
    int code = 0;
    // The final "." had been written and no verdict came: the server may
    // have the message.
    bool uncertain = false;
    // Every RCPT reply of the run, in order.
    QList<RecipientReply> recipients;
    // The server refused the OAuth token (a 535 to XOAUTH2 or OAUTHBEARER),
    // and no fresh one saved the run: an owner that can get one sets it in
    // the settings and sends again.
    bool tokenRefused = false;
};

class SmtpSession : public QObject {
    Q_OBJECT
public:
    explicit SmtpSession(QObject *parent = nullptr);
    ~SmtpSession() override;

    // Each returns the run's number (as Finished reports it).
    quint64 Open(const SmtpSettings &settings);
    quint64 Send(const SmtpSettings &settings, std::unique_ptr<MessageSource> message);
    quint64 Close();
    // Ends the running Open or Send: the socket is closed at once, without
    // the end of the data, and Outcome follows with kind Cancelled ("Send
    // cancelled"). Nothing when no outcome is pending.
    void Cancel();
    // Drops a run without any further event but Finished.
    void Abandon();

    // Called right before the final "." of the data is written, with every
    // RCPT reply of the run, from inside the session (not from the event
    // queue): an owner can record that the server may get the message. The
    // "." goes out when it returns, unless Cancel was called inside it. It
    // must not delete the session.
    using FinalDotHook = std::function<void(const QList<RecipientReply> &)>;
    void SetFinalDotHook(FinalDotHook hook) { m_FinalDotHook = std::move(hook); }

    // The answer to TokenRefused: a fresh token, or "" to decline. Taken
    // once, while the run waits for it (from inside the handler of
    // TokenRefused or later); ignored at any other time.
    void ProvideToken(const QString &token);
    // A run waits for ProvideToken.
    bool WaitsForToken() const { return m_TokenAsked && !m_TokenAnswered; }

    bool IsConnected() const;
    // A run is under way (Finished not queued yet).
    bool IsRunning() const { return m_Running; }

signals:
    void Status(const QString &text);
    // Every command sent (passwords masked) and every reply received.
    void Trace(const QString &text);
    void Progress(int percent);
    void RecipientResult(const QString &address, int code, const QString &reply);
    // With SmtpSettings::renewToken: the server refused the token with
    // `reply`; the run waits (tokenAnswerTimeout) for ProvideToken. With a
    // token it logs in again, on the same connection when the server kept
    // it open, else on a new one; declined, or unanswered in time, the run
    // fails as it would have without renewToken.
    void TokenRefused(const QString &reply);
    void Outcome(const sendmail::SmtpOutcome &outcome);
    void Finished(quint64 run);

private:
    enum class Job { Open, Send, Close };
    quint64 begin(Job job, const SmtpSettings &settings, std::unique_ptr<MessageSource> message);
    Task run(Job job);
    Task openConnection();
    Task connectAttempts();
    Task pop3Phase();
    Task smtpPhase();
    Task authLogin();
    Task startTlsHandshake(bool implicit);
    Task startTlsCommand(QString helloCommand);
    Task saslLogin();
    Task askForToken(QString refusal);
    bool refuseClearSecret(const QString &mechanism);
    Task sendMessage();
    Task sendEnvelope(Envelope envelope);
    Task pipelineEnvelope(QStringList commands);
    Task sendData();
    Task drainSendBuffer();
    Task sendEndOfData(QByteArray bytes, QString trace);
    Task reportSuccess();
    Task closeConnection();
    Task waitFor(bool &flag, int32_t limit, bool reportTimeout);

    // Suspends until the next socket event or tick; resumed from the queue.
    struct NextEvent {
        SmtpSession *session;
        bool await_ready() const noexcept { return false; }
        void await_suspend(std::coroutine_handle<> h) noexcept;
        void await_resume() const noexcept {}
    };
    NextEvent nextEvent() { return {this}; }
    void wake();
    void resume();

    // Events for the owner, delivered from the queue in order.
    void post(std::function<void()> event);
    void deliver();
    void status(const QString &text);
    void trace(const QString &text);

    void resetConversation();
    void sendCommand(const QString &command);
    void sendEnvelopeCommand(const QString &command);
    void AddError(const QString &message, SmtpOutcome::Kind kind);
    void ReportFailure();
    void ReportTimeout();
    void finishRun();

    void onConnect();
    void onClose();
    void onDataArrival();
    void onError(int number, const QString &description);
    void onSendProgress(qint64 bytesSent, qint64 bytesRemaining);
    void onTlsReady();
    void onTlsFailed(const QString &reason);
    bool arrivalToDrop(const QString &data);
    bool reportSilentGreeting();
    void judgeReply(const Reply &reply);
    bool judgeHeldReply();
    void handleReply(const QString &reply);
    bool noteEndOfDataReply(const QString &code);
    bool noteRecipientReply(const QString &code, const QString &reply);
    void failOnReply(const QString &reply);
    void answerAuthPrompt(const QString &reply);
    void answerSaslChallenge(const QString &reply);
    void pop3Step();
    bool pipelining() const { return m_Settings.pipelining && OffersPipelining; }

    SmtpSettings m_Settings;
    std::unique_ptr<MessageSource> m_Message;
    QPointer<WinSck> m_Socket;
    QTimer m_Tick;
    Task m_Run;
    std::coroutine_handle<> m_Parked;
    bool m_WakeQueued = false;
    std::deque<std::function<void()>> m_Events;
    bool m_DeliveryQueued = false;
    // Cleared by the destructor: a delivery in progress stops there.
    std::shared_ptr<bool> m_Alive = std::make_shared<bool>(true);
    quint64 m_RunNumber = 0;
    bool m_Running = false;
    bool m_OutcomePending = false;

    // The run's error texts and the kind of the first failure.
    QStringList m_Errors;
    SmtpOutcome::Kind m_FailureKind = SmtpOutcome::Kind::Reply;
    int m_FailureCode = 0;
    bool m_TokenRefused = false;
    // Renewing a refused token: the 535 held back while the owner is asked
    // (SaslEnded set), the wait for the answer, whether this run asked
    // already, and a login that needs a new connection for the fresh token.
    bool SaslEnded = false;
    std::optional<QString> m_HeldRefusal;
    bool m_TokenAsked = false;
    bool m_TokenAnswered = false;
    QString m_FreshToken;
    bool m_TokenRenewed = false;
    bool m_ReconnectForToken = false;
    QList<RecipientReply> m_RecipientReplies;

    bool Aborted = false;
    bool SocketConnected = false;
    bool ReplyOK = false;
    bool DataReady = false;
    bool AuthLoginOffered = false;
    bool AuthEqLoginOffered = false;
    bool AuthAccepted = false;
    bool Offers8BitMime = false;
    bool OffersSmtpUtf8 = false;
    bool OffersPipelining = false;
    bool OffersStartTls = false;
    // Pipelined commands: replies are judged one at a time, each by the
    // wait for it; the envelope group is out and its DATA reply not judged
    // (a QUIT now would become message text); QUIT has gone behind ".".
    bool m_HoldReplies = false;
    bool m_EnvelopeGroupOpen = false;
    bool m_QuitSent = false;
    bool *m_AwaitedFlag = nullptr;
    bool ReadingEhlo = false;
    bool EhloFallback = false;
    bool EhloRefused = false;
    int32_t PopStep = 0;
    bool PopDone = false;
    int32_t BytesSent = 0;
    int32_t BytesRemaining = 0;
    bool ProgressSeen = false;
    // Restarted whenever the socket reports bytes written.
    MidnightStopwatch m_SinceProgress;
    int32_t LastPercent = 0;
    ReplyReader m_ReplyBuffer;
    // "." has been sent and its reply not judged yet; it has been written.
    bool m_AwaitingDataEnd = false;
    bool m_DataEndWritten = false;
    bool m_MessageAccepted = false;
    // The RCPT whose reply is awaited (-1 none), and how many were taken.
    qsizetype m_RcptIndex = -1;
    QStringList m_RcptAddresses;
    int m_RcptAccepted = 0;
    QStringList m_RcptRefusals;
    bool m_TlsReady = false;
    QString m_EhloReply;
    bool m_AnyDataSeen = false;
    bool m_StartTlsSent = false;
    bool m_DiscardBeforeTls = false;
    std::unique_ptr<sasl::Client> m_Sasl;
    FinalDotHook m_FinalDotHook;
    // An initial response too long for the AUTH line, sent after the 334.
    std::optional<QByteArray> m_DeferredResponse;
};

} // namespace sendmail
