// The SMTP (and POP3-before-SMTP) conversation, written as coroutines: each
// wait for the server suspends the run, and the socket's events (or a 25 ms
// tick that watches the time limits) resume it from the event loop.
//
// SMTP: RFC 5321 (replies, multi-line replies with "-" after the code;
// EHLO and the fall-back to HELO, section 4.1.4). Extensions: 8BITMIME
// (RFC 6152), SMTPUTF8 (RFC 6531), PIPELINING (RFC 2920: replies judged one
// at a time, in order), STARTTLS (RFC 3207), implicit TLS (RFC 8314).
// AUTH: RFC 4954 (AUTH LOGIN's 334 prompts answered in Base64; SASL).
// POP3: RFC 1939 (USER, PASS, QUIT).
#include "mail/smtp_session.h"

#include "mail/clock.h"
#include "mail/error_texts.h"
#include "mail/progress.h"
#include "mime/addresses.h"
#include "mime/encoders.h"
#include "net/host_text.h"
#include "net/socket.h"
#include "net/tls_policy.h"
#include "sasl/sasl_client.h"

#include <QSslCertificate>

#include <algorithm>
#include <exception>
#include <limits>
#include <utility>

namespace sendmail {

namespace {

const QString CRLF = QStringLiteral("\r\n");

// Traced after what a server says or does once it has taken the message.
const QString MsgIgnoredAfterAcceptance =
    QStringLiteral("Not a failure: the server had already accepted the message");
const QString MsgClosedAfterData =
    QStringLiteral("The server closed the connection before it answered the end of the data");

// While the socket holds more than this, streaming waits for the socket to
// report progress before it takes the next piece: the queue, and so the
// memory a large message costs, stays bounded.
constexpr qint64 QueueHighWater = 256 << 10;

// The longest AUTH command line, CRLF included (RFC 4954 section 4); an
// initial response that does not fit waits for the server's 334.
constexpr qsizetype MaxAuthLine = 12288;

// A reply whose code starts with "2" (other than the help and status replies,
// which answer no command) completes the command it answers.
bool isPositiveCompletion(const QString &code) {
    return code.size() == 3 && code[0] == QLatin1Char('2') && code[1].isDigit() &&
           code[2].isDigit() && code != QLatin1String("211") && code != QLatin1String("214");
}

bool isRefusal(const QString &code) {
    return code.size() == 3 && (code[0] == QLatin1Char('4') || code[0] == QLatin1Char('5')) &&
           code[1].isDigit() && code[2].isDigit();
}

} // namespace

SmtpSession::SmtpSession(QObject *parent) : QObject(parent) {
    m_Socket = frmSck::instance().NewSocket();
    connect(m_Socket, &WinSck::ConnectEvent, this, &SmtpSession::onConnect);
    connect(m_Socket, &WinSck::CloseEvent, this, &SmtpSession::onClose);
    connect(m_Socket, &WinSck::DataArrival, this, &SmtpSession::onDataArrival);
    connect(m_Socket, &WinSck::Error, this, &SmtpSession::onError);
    connect(m_Socket, &WinSck::SendProgress, this, &SmtpSession::onSendProgress);
    connect(m_Socket, &WinSck::TlsReady, this, &SmtpSession::onTlsReady);
    connect(m_Socket, &WinSck::TlsFailed, this, &SmtpSession::onTlsFailed);
    m_Tick.setInterval(25);
    connect(&m_Tick, &QTimer::timeout, this, &SmtpSession::resume);
}

SmtpSession::~SmtpSession() {
    *m_Alive = false;
    m_Parked = {};
    m_Run.reset();
    // The host form deletes its sockets when the application ends; a
    // session that outlives the application finds its socket gone.
    delete m_Socket.data();
}

bool SmtpSession::IsConnected() const {
    return m_Socket && m_Socket->State() == WinSck::sckConnected;
}

quint64 SmtpSession::Open(const SmtpSettings &settings) {
    return begin(Job::Open, settings, nullptr);
}

quint64 SmtpSession::Send(const SmtpSettings &settings, std::unique_ptr<MessageSource> message) {
    return begin(Job::Send, settings, std::move(message));
}

quint64 SmtpSession::Close() {
    return begin(Job::Close, m_Settings, nullptr);
}

quint64 SmtpSession::begin(Job job, const SmtpSettings &settings,
                           std::unique_ptr<MessageSource> message) {
    // A run still closing after its outcome gives way to the new one.
    Abandon();
    m_Settings = settings;
    m_Message = std::move(message);
    ++m_RunNumber;
    m_Running = true;
    m_OutcomePending = job != Job::Close;
    m_Errors.clear();
    m_RecipientReplies.clear();
    m_FailureKind = SmtpOutcome::Kind::Reply;
    m_FailureCode = 0;
    m_TokenRefused = false;
    m_TokenAsked = false;
    m_TokenAnswered = false;
    m_FreshToken.clear();
    m_TokenRenewed = false;
    m_ReconnectForToken = false;
    m_DataEndWritten = false;
    Aborted = false;
    m_Tick.start();
    m_Run = run(job);
    m_Run.start();
    return m_RunNumber;
}

void SmtpSession::Abandon() {
    if (!m_Running) {
        return;
    }
    m_Parked = {};
    m_Run.reset();
    if (m_Socket && m_Socket->State() != WinSck::sckClosed) {
        m_Socket->Close();
    }
    resetConversation();
    m_OutcomePending = false;
    finishRun();
}

void SmtpSession::Cancel() {
    if (!m_Running || !m_OutcomePending) {
        return;
    }
    // Nothing more leaves: without the final "." the server delivers nothing.
    if (m_Socket) {
        m_Socket->Close();
    }
    m_Errors.clear();
    AddError(QStringLiteral("Send cancelled"), SmtpOutcome::Kind::Cancelled);
    ReportFailure();
}

void SmtpSession::finishRun() {
    m_Running = false;
    m_Tick.stop();
    m_Message.reset();
    const quint64 number = m_RunNumber;
    post([this, number] { emit Finished(number); });
}

Task SmtpSession::run(Job job) {
    bool ok = false;
    QString unexpected;
    try {
        switch (job) {
        case Job::Open:
            ok = co_await openConnection();
            break;
        case Job::Send:
            ok = co_await sendMessage();
            break;
        case Job::Close:
            co_await closeConnection();
            ok = true;
            break;
        }
    } catch (const std::exception &e) {
        unexpected = QString::fromLocal8Bit(e.what());
        if (unexpected.isEmpty()) {
            unexpected = QStringLiteral("Unexpected error");
        }
    }
    if (!unexpected.isEmpty()) {
        AddError(unexpected, SmtpOutcome::Kind::Message);
        ReportFailure();
    }
    // A failure closes the connection once it has been reported.
    if (Aborted && m_Socket && m_Socket->State() != WinSck::sckClosed) {
        co_await closeConnection();
    }
    finishRun();
    co_return ok;
}

// ---- Waiting -----------------------------------------------------------------

void SmtpSession::NextEvent::await_suspend(std::coroutine_handle<> h) noexcept {
    session->m_Parked = h;
}

void SmtpSession::wake() {
    if (m_WakeQueued) {
        return;
    }
    m_WakeQueued = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_WakeQueued = false;
            resume();
        },
        Qt::QueuedConnection);
}

void SmtpSession::resume() {
    if (const std::coroutine_handle<> h = std::exchange(m_Parked, {})) {
        h.resume();
    }
}

Task SmtpSession::waitFor(bool &flag, int32_t limit, bool reportTimeout) {
    if (limit < 1) {
        co_return false;
    }
    // Arrivals meanwhile stop at the reply that sets this flag (with
    // pipelined commands); a nested wait names its own flag.
    bool *const previous = std::exchange(m_AwaitedFlag, &flag);
    MidnightStopwatch stopwatch;
    bool result = false;
    for (;;) {
        while (!flag && !Aborted && judgeHeldReply()) {
        }
        if (flag) {
            result = true;
            break;
        }
        if (stopwatch.Elapsed() >= limit) {
            // A failure reported meanwhile is the outcome; a time-out on
            // top would be a second one.
            if (reportTimeout && !Aborted) {
                ReportTimeout();
            }
            break;
        }
        if (Aborted) {
            break;
        }
        co_await nextEvent();
    }
    m_AwaitedFlag = previous;
    co_return result;
}

// ---- Events for the owner ------------------------------------------------------

void SmtpSession::post(std::function<void()> event) {
    m_Events.push_back(std::move(event));
    if (!m_DeliveryQueued) {
        m_DeliveryQueued = true;
        QMetaObject::invokeMethod(this, &SmtpSession::deliver, Qt::QueuedConnection);
    }
}

void SmtpSession::deliver() {
    m_DeliveryQueued = false;
    const std::shared_ptr<bool> alive = m_Alive;
    while (!m_Events.empty()) {
        const std::function<void()> event = std::move(m_Events.front());
        m_Events.pop_front();
        event();
        // A handler may have deleted the session.
        if (!*alive) {
            return;
        }
    }
}

void SmtpSession::status(const QString &text) {
    post([this, text] { emit Status(text); });
}

void SmtpSession::trace(const QString &text) {
    post([this, text] { emit Trace(text); });
}

// ---- Failures ------------------------------------------------------------------

void SmtpSession::AddError(const QString &message, SmtpOutcome::Kind kind) {
    if (m_Errors.isEmpty()) {
        m_FailureKind = kind;
        m_FailureCode = kind == SmtpOutcome::Kind::Reply ? message.left(3).toInt() : 0;
    }
    if (!m_Errors.contains(message)) {
        m_Errors.append(message);
    }
}

void SmtpSession::ReportFailure() {
    // Once a failure is reported, a late answer to the end of the data must
    // not turn the send into a delivery.
    m_AwaitingDataEnd = false;
    if (m_OutcomePending) {
        m_OutcomePending = false;
        SmtpOutcome outcome;
        outcome.kind = m_FailureKind;
        outcome.code = m_FailureCode;
        outcome.explanation = m_Errors.join(QString());
        outcome.uncertain = m_DataEndWritten && !m_MessageAccepted;
        outcome.recipients = m_RecipientReplies;
        outcome.tokenRefused = m_TokenRefused;
        post([this, outcome] { emit Outcome(outcome); });
        if (m_Socket && m_Socket->State() != WinSck::sckClosed) {
            status(QStringLiteral("Closing Connection..."));
        }
    }
    Aborted = true;
    m_Errors.clear();
    wake();
}

void SmtpSession::ReportTimeout() {
    AddError(MsgTimeout, SmtpOutcome::Kind::Timeout);
    ReportFailure();
}

// ---- Opening the session -------------------------------------------------------

void SmtpSession::resetConversation() {
    ReplyOK = false;
    DataReady = false;
    AuthLoginOffered = false;
    AuthEqLoginOffered = false;
    AuthAccepted = false;
    SaslEnded = false;
    m_HeldRefusal.reset();
    SocketConnected = false;
    Offers8BitMime = false;
    OffersSmtpUtf8 = false;
    OffersPipelining = false;
    OffersStartTls = false;
    m_HoldReplies = false;
    m_EnvelopeGroupOpen = false;
    m_QuitSent = false;
    m_AwaitedFlag = nullptr;
    ReadingEhlo = false;
    EhloFallback = false;
    m_TlsReady = false;
    m_AnyDataSeen = false;
    m_EhloReply.clear();
    m_Sasl.reset();
    m_StartTlsSent = false;
    m_DiscardBeforeTls = false;
    m_AwaitingDataEnd = false;
    m_RcptIndex = -1;
    m_ReplyBuffer.clear();
}

Task SmtpSession::openConnection() {
    if (m_Socket->State() == WinSck::sckConnected) {
        co_return true;
    }
    if (m_Socket->State() != WinSck::sckClosed) {
        m_Socket->Close();
    }
    m_MessageAccepted = false;
    if (m_Settings.popBeforeSmtp) {
        const bool logged = co_await pop3Phase();
        if (!logged) {
            co_return false;
        }
    }
    bool opened = co_await smtpPhase();
    if (!opened && std::exchange(m_ReconnectForToken, false) && !Aborted) {
        // The server closed the connection after refusing the token: the
        // fresh one is tried on a new connection.
        opened = co_await smtpPhase();
    }
    co_return opened;
}

Task SmtpSession::connectAttempts() {
    for (int32_t attempt = 1; attempt <= m_Settings.connectRetry; ++attempt) {
        if (m_Socket->State() == WinSck::sckConnected) {
            SocketConnected = true;
            break;
        }
        if (m_Socket->State() == WinSck::sckClosed) {
            m_Socket->Connect();
        }
        const bool connected = co_await waitFor(SocketConnected, m_Settings.connectTimeout, false);
        if (connected) {
            break;
        }
        if (Aborted) {
            co_return false;
        }
        if (m_Socket->State() == WinSck::sckError) {
            m_Socket->Close();
        }
    }
    co_return true;
}

Task SmtpSession::pop3Phase() {
    status("Connecting to POP3 Server (" + m_Settings.pop3Host + ")...");
    Aborted = false;
    SocketConnected = false;
    PopDone = false;
    PopStep = 0;
    if (m_Settings.pop3Host.isEmpty()) {
        AddError(MsgPOP3Host, SmtpOutcome::Kind::Connect);
        ReportFailure();
        co_return false;
    }
    m_Socket->setRemoteHost(m_Settings.pop3Host);
    m_Socket->setRemotePort(110);
    const bool attempted = co_await connectAttempts();
    if (!attempted) {
        co_return false;
    }
    // A silent POP3 server does not stop the send: after this wait the
    // session goes on to SMTP.
    co_await waitFor(PopDone, m_Settings.connectTimeout, false);
    m_Socket->Close();
    m_ReplyBuffer.clear();
    // What is pending is dispatched once before SMTP begins.
    wake();
    co_await nextEvent();
    if (Aborted) {
        co_return false;
    }
    status(QStringLiteral("POP3 Authentication Successful..."));
    co_return true;
}

Task SmtpSession::smtpPhase() {
    resetConversation();
    Aborted = false;
    if (m_Socket->State() != WinSck::sckClosed) {
        m_Socket->Close();
    }
    m_Socket->setRemoteHost(m_Settings.host);
    m_Socket->setRemotePort(m_Settings.port);
    status("Connecting to SMTP Server (" + m_Settings.host + ")...");
    const bool attempted = co_await connectAttempts();
    if (!attempted) {
        co_return false;
    }
    if (m_Settings.tlsMode == 3) {
        const bool secured = co_await startTlsHandshake(true);
        if (!secured) {
            co_return false;
        }
    }
    const bool greeted = co_await waitFor(ReplyOK, m_Settings.connectTimeout, false);
    if (!greeted || !SocketConnected) {
        // A greeting that was judged a failure has been reported already.
        if (!Aborted && !reportSilentGreeting()) {
            ReportTimeout();
        }
        co_return false;
    }
    status(QStringLiteral("Initializing Communications..."));
    ReplyOK = false;

    // EHLO when a login or the message needs an extension, or TLS or
    // pipelining is asked for; any other message is greeted with HELO.
    const bool ehlo = m_Settings.useAuthentication || m_Settings.wantsExtensions ||
                      m_Settings.tlsMode != 0 || m_Settings.pipelining;
    QString name;
    if (!TrimBlanks(m_Settings.hallo).isEmpty()) {
        name = m_Settings.hallo;
    } else {
        const QString &sender = m_Settings.helloSender;
        const qsizetype at = sender.indexOf(QLatin1Char('@'));
        name = at >= 0 ? sender.mid(at + 1) : sender;
        // The greeting names a domain in ASCII, whatever the server offers.
        if (const QString ascii = AsciiDomain(name); !ascii.isEmpty()) {
            name = ascii;
        }
    }
    // An IPv6 address as the name goes in its RFC 5321 form, [IPv6:...].
    if (const QString bare = TrimBlanks(name); SmtpAddressLiteral(bare) != bare) {
        name = SmtpAddressLiteral(bare);
    }
    ReadingEhlo = ehlo;
    // Without a login to lose, a server that does not know EHLO (500, 502)
    // is greeted again with HELO.
    EhloFallback = ehlo && !m_Settings.useAuthentication;
    EhloRefused = false;
    sendCommand((ehlo ? QStringLiteral("EHLO ") : QStringLiteral("HELO ")) + name);
    const bool answered = co_await waitFor(ReplyOK, m_Settings.connectTimeout, true);
    ReadingEhlo = false;
    EhloFallback = false;
    if (!answered || Aborted) {
        co_return false;
    }
    if (EhloRefused) {
        ReplyOK = false;
        sendCommand("HELO " + name);
        const bool helloAnswered = co_await waitFor(ReplyOK, m_Settings.connectTimeout, true);
        if (!helloAnswered) {
            co_return false;
        }
    }
    if (m_Settings.tlsMode == 1 || m_Settings.tlsMode == 2) {
        const bool secured = co_await startTlsCommand(QStringLiteral("EHLO ") + name);
        if (!secured) {
            co_return false;
        }
    }
    if (!m_Settings.useAuthentication) {
        co_return !Aborted;
    }
    bool loggedIn = false;
    if (m_Settings.authMechanism.isEmpty()) {
        loggedIn = co_await authLogin();
    } else {
        loggedIn = co_await saslLogin();
    }
    co_return loggedIn;
}

Task SmtpSession::authLogin() {
    const bool offered = co_await waitFor(AuthLoginOffered, 5, false);
    if (!offered) {
        if (Aborted) {
            co_return false;
        }
        status(QStringLiteral("Login Not Supported by Host, Continuing..."));
        co_return true;
    }
    if (refuseClearSecret(QStringLiteral("LOGIN"))) {
        co_return false;
    }
    status(QStringLiteral("Sending Login Authentication..."));
    sendCommand(QStringLiteral("AUTH Login"));
    const bool accepted = co_await waitFor(AuthAccepted, 5, false);
    if (!accepted) {
        if (!Aborted) {
            status(QStringLiteral("Host Login Failed!"));
            AddError(QStringLiteral("Login: Login failed"), SmtpOutcome::Kind::Login);
            ReportFailure();
        }
        co_return false;
    }
    status(QStringLiteral("Host Login OK!"));
    co_return !Aborted;
}

// ---- TLS and SASL ----------------------------------------------------------------

Task SmtpSession::startTlsHandshake(bool implicit) {
    if (implicit && m_AnyDataSeen) {
        // The server greeted in clear text before the handshake began.
        AddError(AnswersInClearText(quint16(m_Settings.port)), SmtpOutcome::Kind::Tls);
        ReportFailure();
        co_return false;
    }
    status(QStringLiteral("Starting TLS..."));
    WinSck::TlsSettings settings;
    settings.peerName = m_Settings.host.trimmed();
    settings.verify = m_Settings.tlsVerify;
    settings.caFile = m_Settings.tlsCaFile;
    settings.fingerprint = m_Settings.tlsFingerprint;
    settings.implicit = implicit;
    m_TlsReady = false;
    ReplyOK = false;
    trace(QStringLiteral("TLS handshake with ") + settings.peerName);
    m_Socket->StartTls(settings);
    const bool ready = co_await waitFor(m_TlsReady, m_Settings.connectTimeout, false);
    if (!ready) {
        if (!Aborted) {
            AddError(QStringLiteral("TLS: the handshake did not finish within %1 seconds")
                         .arg(m_Settings.connectTimeout),
                     SmtpOutcome::Kind::Tls);
            ReportFailure();
        }
        co_return false;
    }
    const QSslCertificate certificate = m_Socket->PeerCertificate();
    trace(QStringLiteral("TLS established: %1; certificate %2, SHA-256 %3")
              .arg(m_Socket->TlsDescription(), certificate.subjectDisplayName(),
                   FingerprintText(certificate.digest(QCryptographicHash::Sha256))));
    status(QStringLiteral("TLS established (") + m_Socket->TlsDescription() +
           QStringLiteral(")..."));
    co_return !Aborted;
}

Task SmtpSession::startTlsCommand(QString helloCommand) {
    if (!OffersStartTls) {
        if (m_Settings.tlsMode == 2) {
            AddError(QStringLiteral("TLS: the server does not offer STARTTLS"),
                     SmtpOutcome::Kind::Tls);
            ReportFailure();
            co_return false;
        }
        co_return true;
    }
    ReplyOK = false;
    m_StartTlsSent = true;
    sendCommand(QStringLiteral("STARTTLS"));
    const bool accepted = co_await waitFor(ReplyOK, m_Settings.connectTimeout, true);
    m_StartTlsSent = false;
    if (!accepted || Aborted) {
        co_return false;
    }
    const bool secured = co_await startTlsHandshake(false);
    if (!secured) {
        co_return false;
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
    const bool answered = co_await waitFor(ReplyOK, m_Settings.connectTimeout, true);
    ReadingEhlo = false;
    co_return answered && !Aborted;
}

Task SmtpSession::saslLogin() {
    const QStringList offered = sasl::OfferedMechanisms(m_EhloReply);
    const bool protectedLink = m_Socket->IsEncrypted() || m_Socket->PeerAddress().isLoopback();
    const QString &wanted = m_Settings.authMechanism;
    std::optional<sasl::Mechanism> mechanism;
    QString problem;
    if (wanted.compare(QLatin1StringView("AUTO"), Qt::CaseInsensitive) == 0) {
        mechanism = sasl::ChooseMechanism(offered, !m_Settings.oauthToken.isEmpty(),
                                          protectedLink || m_Settings.allowPlaintextAuth);
        if (!mechanism) {
            problem =
                offered.isEmpty()
                    ? QStringLiteral("Login: the server offers no authentication")
                    : QStringLiteral("Login: none of the mechanisms the server offers (%1) "
                                     "can be used%2")
                          .arg(offered.join(u' '), protectedLink || m_Settings.allowPlaintextAuth
                                                       ? QString()
                                                       : QStringLiteral(" without TLS"));
        }
    } else {
        mechanism = sasl::MechanismFromName(wanted);
        if (!mechanism) {
            problem = QStringLiteral("Login: the mechanism %1 is not supported").arg(wanted);
        } else if (!offered.contains(sasl::MechanismName(*mechanism), Qt::CaseInsensitive)) {
            problem = QStringLiteral("Login: the server does not offer %1 (it offers: %2)")
                          .arg(sasl::MechanismName(*mechanism),
                               offered.isEmpty() ? QStringLiteral("none") : offered.join(u' '));
            mechanism.reset();
        }
    }
    if (!mechanism) {
        AddError(problem, SmtpOutcome::Kind::Login);
        status(QStringLiteral("Host Login Failed!"));
        ReportFailure();
        co_return false;
    }

    const QString name = sasl::MechanismName(*mechanism);
    if (sasl::SendsClearSecret(*mechanism) && refuseClearSecret(name)) {
        co_return false;
    }
    // A refused token may be renewed once: then this logs in a second time,
    // on the same connection while the server keeps it open.
    bool again = false;
    for (;;) {
        status(QStringLiteral("Sending Login Authentication (") + name + QStringLiteral(")..."));
        m_Sasl = std::make_unique<sasl::Client>(
            *mechanism,
            sasl::Credentials{m_Settings.username, m_Settings.password, m_Settings.oauthToken,
                              m_Settings.host.trimmed(), quint16(m_Settings.port)});
        QString line = QStringLiteral("AUTH ") + name;
        QString shown = line;
        // RFC 4954 section 4: the first response may ride on the AUTH line, "="
        // standing for an empty one; it saves the server's empty challenge.
        m_DeferredResponse.reset();
        if (const std::optional<QByteArray> first = m_Sasl->initialResponse()) {
            const QString response =
                first->isEmpty() ? QStringLiteral("=") : QString::fromLatin1(first->toBase64());
            if (line.size() + 1 + response.size() + 2 > MaxAuthLine) {
                m_DeferredResponse = first->toBase64();
            } else {
                line += u' ' + response;
                shown += QStringLiteral(" ****");
            }
        }
        AuthAccepted = false;
        SaslEnded = false;
        m_Socket->SendData(line + CRLF);
        trace(shown);
        const bool ended =
            co_await waitFor(SaslEnded, std::max(5, m_Settings.connectTimeout), false);
        const bool accepted = ended && AuthAccepted;
        const bool proven = m_Sasl->finished();
        const QString why = m_Sasl->error();
        m_Sasl.reset();
        m_DeferredResponse.reset();
        if (Aborted) {
            co_return false;
        }
        if (again && !accepted && !m_HeldRefusal && m_Socket->State() == WinSck::sckClosed) {
            // The server hung up on the second login without a word (as
            // some do after a refusal): the fresh token gets a new connection.
            m_ReconnectForToken = true;
            co_return false;
        }
        if (const std::optional<QString> refusal = std::exchange(m_HeldRefusal, std::nullopt)) {
            m_TokenRenewed = true;
            const bool renewed = co_await askForToken(*refusal);
            if (!renewed) {
                if (!Aborted) {
                    failOnReply(*refusal); // as without the owner's renewal
                }
                co_return false;
            }
            if (m_Socket->State() != WinSck::sckConnected) {
                m_ReconnectForToken = true;
                co_return false;
            }
            again = true;
            continue;
        }
        if (!accepted || !proven) {
            status(QStringLiteral("Host Login Failed!"));
            AddError(!accepted ? QStringLiteral("Login: ") + name + QStringLiteral(" failed") +
                                     (why.isEmpty() ? QString() : QStringLiteral(": ") + why)
                               : QStringLiteral("Login: the server did not prove that it knows the "
                                                "password"),
                     SmtpOutcome::Kind::Login);
            ReportFailure();
            co_return false;
        }
        status(QStringLiteral("Host Login OK!"));
        co_return true;
    }
}

Task SmtpSession::askForToken(QString refusal) {
    m_TokenAsked = true;
    m_TokenAnswered = false;
    m_FreshToken.clear();
    status(QStringLiteral("The server refused the access token; asking for a new one..."));
    post([this, refusal] { emit TokenRefused(refusal); });
    const bool answered = co_await waitFor(m_TokenAnswered, m_Settings.tokenAnswerTimeout, false);
    m_TokenAsked = false;
    if (!answered || Aborted || m_FreshToken.isEmpty()) {
        co_return false;
    }
    m_Settings.oauthToken = std::exchange(m_FreshToken, QString());
    co_return true;
}

void SmtpSession::ProvideToken(const QString &token) {
    if (!m_TokenAsked || m_TokenAnswered) {
        return;
    }
    m_FreshToken = token;
    m_TokenAnswered = true;
    wake();
}

bool SmtpSession::refuseClearSecret(const QString &mechanism) {
    // The classic AUTH LOGIN without TLS settings stays as it always was.
    if (mechanism == QLatin1String("LOGIN") && m_Settings.authMechanism.isEmpty() &&
        m_Settings.tlsMode == 0) {
        return false;
    }
    if (m_Settings.allowPlaintextAuth || m_Socket->IsEncrypted() ||
        m_Socket->PeerAddress().isLoopback()) {
        return false;
    }
    const bool token =
        mechanism == QLatin1String("XOAUTH2") || mechanism == QLatin1String("OAUTHBEARER");
    AddError(QStringLiteral("Login: %1 would send the %2 in clear text to %3 (the connection is "
                            "not encrypted%4); use TLS, or allow plaintext authentication")
                 .arg(mechanism, token ? QStringLiteral("token") : QStringLiteral("password"),
                      m_Settings.host.trimmed(),
                      m_Settings.tlsMode == 1 ? QStringLiteral(": the server offers no STARTTLS")
                                              : QString()),
             SmtpOutcome::Kind::Login);
    status(QStringLiteral("Host Login Failed!"));
    ReportFailure();
    return true;
}

void SmtpSession::answerSaslChallenge(const QString &reply) {
    if (m_DeferredResponse) {
        // The server's empty challenge to "AUTH mech" asks for the initial
        // response that did not fit on the line.
        m_Socket->SendData(*std::exchange(m_DeferredResponse, std::nullopt) + "\r\n");
        trace(QStringLiteral("****"));
        return;
    }
    const QByteArray challenge = QByteArray::fromBase64(reply.mid(4).trimmed().toLatin1());
    const std::optional<QByteArray> answer = m_Sasl->respond(challenge);
    if (!answer) {
        // RFC 4954 section 4: "*" cancels; the server's refusal that follows
        // carries this reason along.
        AddError(QStringLiteral("Login: ") + m_Sasl->error(), SmtpOutcome::Kind::Login);
        sendCommand(QStringLiteral("*"));
        return;
    }
    m_Socket->SendData(answer->toBase64() + "\r\n");
    trace(QStringLiteral("****"));
}

bool SmtpSession::arrivalToDrop(const QString &data) {
    if (m_DiscardBeforeTls) {
        // After the server's consent to STARTTLS nothing counts until the
        // handshake: such bytes may have been put there by someone else.
        return true;
    }
    if (m_AnyDataSeen || (m_Settings.tlsMode != 1 && m_Settings.tlsMode != 2) ||
        ClassifyFirstBytes(data.toLatin1()) != FirstBytes::TlsHandshake) {
        return false;
    }
    AddError(ExpectsImplicitTlsText(quint16(m_Settings.port)), SmtpOutcome::Kind::Tls);
    ReportFailure();
    return true;
}

bool SmtpSession::reportSilentGreeting() {
    if ((m_Settings.tlsMode != 1 && m_Settings.tlsMode != 2) || m_AnyDataSeen || !SocketConnected) {
        return false;
    }
    // A server that waits for the client to speak first is waiting for a
    // TLS handshake.
    AddError(ExpectsImplicitTlsText(quint16(m_Settings.port)) +
                 QStringLiteral(" (no greeting within %1 seconds)").arg(m_Settings.connectTimeout),
             SmtpOutcome::Kind::Tls);
    ReportFailure();
    return true;
}

void SmtpSession::onTlsReady() {
    m_DiscardBeforeTls = false;
    m_TlsReady = true;
    wake();
}

void SmtpSession::onTlsFailed(const QString &reason) {
    m_DiscardBeforeTls = false;
    AddError(QStringLiteral("TLS: ") + reason, SmtpOutcome::Kind::Tls);
    ReportFailure();
}

// ---- The message -----------------------------------------------------------------

Task SmtpSession::sendMessage() {
    m_MessageAccepted = false;
    if (m_Socket->State() != WinSck::sckConnected) {
        const bool opened = co_await openConnection();
        if (!opened) {
            co_return false;
        }
    }
    BytesSent = 0;
    Envelope envelope;
    const SmtpExtensions offered{Offers8BitMime, OffersSmtpUtf8, OffersPipelining, OffersStartTls};
    if (const std::optional<QString> problem = m_Message->Prepare(offered, envelope)) {
        AddError(*problem, SmtpOutcome::Kind::Message);
        ReportFailure();
        co_return false;
    }
    // RFC 1870: a server that announces SIZE is told the size, and one that
    // names a limit is not sent a larger message at all.
    if (const SmtpExtensions ehlo = ParseEhloReply(m_EhloReply); ehlo.size && envelope.size >= 0) {
        if (ehlo.sizeLimit > 0 && envelope.size > ehlo.sizeLimit) {
            AddError(QStringLiteral("The message (%1 bytes) is larger than the server accepts "
                                    "(%2 bytes)")
                         .arg(envelope.size)
                         .arg(ehlo.sizeLimit),
                     SmtpOutcome::Kind::Message);
            ReportFailure();
            co_return false;
        }
        envelope.parameters += QStringLiteral(" SIZE=") + QString::number(envelope.size);
    }
    const bool enveloped = co_await sendEnvelope(envelope);
    if (!enveloped) {
        co_return false;
    }
    const bool sent = co_await sendData();
    if (!sent) {
        co_return false;
    }
    // Once the server has taken the message, the send has succeeded,
    // whatever was reported between its answer and here.
    if (Aborted && !m_MessageAccepted) {
        co_return false;
    }
    const bool reported = co_await reportSuccess();
    co_return reported;
}

Task SmtpSession::sendEnvelope(Envelope envelope) {
    status(QStringLiteral("Sending Sender Information..."));
    ReplyOK = false;
    const QString auth = AuthEqLoginOffered ? " AUTH=" + envelope.sender : QString();
    // The grammar of RFC 5321 has no blank after the colon, and strict
    // submission servers refuse one; the classic form stays for owners that
    // do not use the secure submission settings.
    const QString colon = m_Settings.tlsMode != 0 || !m_Settings.authMechanism.isEmpty()
                              ? QStringLiteral(":")
                              : QStringLiteral(": ");
    QStringList commands{"MAIL FROM" + colon + "<" + envelope.sender + ">" + envelope.parameters +
                         auth};
    for (const QString &address : envelope.recipients) {
        commands << "RCPT TO" + colon + "<" + address + ">";
    }
    m_RcptAddresses = envelope.recipients;
    m_RcptAccepted = 0;
    m_RcptRefusals.clear();
    if (pipelining()) {
        const bool pipelined = co_await pipelineEnvelope(commands);
        co_return pipelined;
    }
    sendEnvelopeCommand(commands.first());
    const bool senderAnswered = co_await waitFor(ReplyOK, m_Settings.messageTimeout, true);
    if (!senderAnswered || Aborted) {
        co_return false;
    }

    status(QStringLiteral("Sending Recipient Information..."));
    for (qsizetype i = 1; i < commands.size(); ++i) {
        ReplyOK = false;
        m_RcptIndex = i - 1;
        sendEnvelopeCommand(commands[i]);
        const bool answered = co_await waitFor(ReplyOK, m_Settings.messageTimeout, true);
        m_RcptIndex = -1;
        if (!answered || Aborted) {
            co_return false;
        }
    }
    if (m_RcptAccepted == 0) {
        // Every recipient was refused (only possible with partial delivery).
        AddError(m_RcptRefusals.join(QString()), SmtpOutcome::Kind::Reply);
        ReportFailure();
        co_return false;
    }

    status(QStringLiteral("Sending Message..."));
    DataReady = false;
    sendCommand(QStringLiteral("DATA"));
    const bool ready = co_await waitFor(DataReady, m_Settings.messageTimeout, true);
    co_return ready && !Aborted;
}

Task SmtpSession::pipelineEnvelope(QStringList commands) {
    // MAIL FROM, every RCPT TO and DATA in one write; each reply is then
    // awaited and judged in turn, as if its command had just been sent.
    QByteArray group;
    for (const QString &command : commands) {
        group += (command + CRLF).toUtf8();
    }
    group += "DATA\r\n";
    m_HoldReplies = true;
    m_EnvelopeGroupOpen = true;
    ReplyOK = false;
    DataReady = false;
    m_Socket->SendData(group);
    for (const QString &command : commands) {
        trace(command);
    }
    trace(QStringLiteral("DATA"));
    for (qsizetype i = 0; i < commands.size(); ++i) {
        if (i == 1) {
            status(QStringLiteral("Sending Recipient Information..."));
        }
        m_RcptIndex = i - 1;
        const bool answered = co_await waitFor(ReplyOK, m_Settings.messageTimeout, true);
        m_RcptIndex = -1;
        if (!answered || Aborted) {
            co_return false;
        }
        ReplyOK = false;
    }
    status(QStringLiteral("Sending Message..."));
    const bool ready = co_await waitFor(DataReady, m_Settings.messageTimeout, true);
    if (!ready || Aborted) {
        co_return false;
    }
    if (m_RcptAccepted == 0) {
        // The server is reading message text for nobody: the connection
        // closes without QUIT (which would become text) and without ".".
        AddError(m_RcptRefusals.join(QString()), SmtpOutcome::Kind::Reply);
        ReportFailure();
        co_return false;
    }
    m_EnvelopeGroupOpen = false;
    co_return true;
}

Task SmtpSession::sendData() {
    ReplyOK = false;
    m_SinceProgress = MidnightStopwatch();
    for (;;) {
        DataPiece piece = m_Message->Next();
        switch (piece.kind) {
        case DataPiece::Kind::Text:
            m_Socket->SendData(piece.bytes);
            if (piece.text) {
                trace(*piece.text);
            }
            break;
        case DataPiece::Kind::Status:
            status(piece.text.value_or(QString()));
            break;
        case DataPiece::Kind::Stream:
            if (m_Socket->State() != WinSck::sckConnected) {
                AddError(QStringLiteral("Socket not Open"), SmtpOutcome::Kind::Connect);
                ReportFailure();
                co_return false;
            }
            if (piece.pace == DataPiece::Pace::Gentle) {
                ProgressSeen = false;
            }
            m_Socket->SendData(piece.bytes);
            if (piece.text) {
                trace(*piece.text);
            }
            if (piece.pace == DataPiece::Pace::Gentle) {
                if (m_Socket->BytesQueued() > QueueHighWater) {
                    // Up to 2 seconds for a progress report; only the time
                    // for the socket to write is needed. A server that has
                    // taken nothing for MessageTimeout seconds has stalled.
                    co_await waitFor(ProgressSeen, 2, false);
                    if (!ProgressSeen && !Aborted && m_Settings.messageTimeout > 0 &&
                        m_SinceProgress.Elapsed() >= m_Settings.messageTimeout) {
                        ReportTimeout();
                        co_return false;
                    }
                }
            } else {
                // A queue that does not move for MessageTimeout seconds is
                // a time-out.
                while (m_Socket->BytesQueued() > QueueHighWater && !Aborted) {
                    ProgressSeen = false;
                    const bool moved =
                        co_await waitFor(ProgressSeen, m_Settings.messageTimeout, true);
                    if (!moved) {
                        co_return false;
                    }
                }
            }
            if (Aborted) {
                co_return false;
            }
            break;
        case DataPiece::Kind::Drain: {
            const bool drained = co_await drainSendBuffer();
            if (!drained) {
                co_return false;
            }
            break;
        }
        case DataPiece::Kind::End: {
            // Events still queued (a close during the data) are seen before
            // the final "." goes out.
            wake();
            co_await nextEvent();
            if (Aborted) {
                co_return false;
            }
            if (m_Socket->State() != WinSck::sckConnected) {
                AddError(QStringLiteral("Socket not Open"), SmtpOutcome::Kind::Connect);
                ReportFailure();
                co_return false;
            }
            if (m_FinalDotHook) {
                m_FinalDotHook(m_RecipientReplies);
                if (Aborted) {
                    co_return false;
                }
            }
            const bool ended = co_await sendEndOfData(piece.bytes, piece.text.value_or(QString()));
            co_return ended && !Aborted;
        }
        case DataPiece::Kind::Failure:
            AddError(piece.text.value_or(QString()), SmtpOutcome::Kind::Message);
            ReportFailure();
            co_return false;
        }
    }
}

Task SmtpSession::drainSendBuffer() {
    // Each attachment lets the socket's queue drain to 4 KiB before the next
    // one; a queue that does not move for MessageTimeout seconds is a
    // time-out.
    while (BytesRemaining > 4096) {
        const int32_t seen = BytesRemaining;
        MidnightStopwatch stopwatch;
        while (BytesRemaining == seen) {
            if (stopwatch.Elapsed() >= m_Settings.messageTimeout) {
                ReportTimeout();
                co_return false;
            }
            co_await nextEvent();
            if (Aborted) {
                co_return false;
            }
        }
    }
    co_return true;
}

Task SmtpSession::sendEndOfData(QByteArray bytes, QString shown) {
    ReplyOK = false;
    m_AwaitingDataEnd = true;
    // Pipelined, QUIT follows the end of the data at once unless the
    // connection is kept; the close then only awaits its reply.
    const bool quit = pipelining() && !m_Settings.keepConnection;
    m_Socket->SendData(quit ? bytes + "QUIT\r\n" : bytes);
    m_DataEndWritten = true;
    if (!shown.isEmpty()) {
        trace(shown);
    }
    if (quit) {
        m_QuitSent = true;
        trace(QStringLiteral("QUIT"));
    }
    const bool judged = co_await waitFor(ReplyOK, m_Settings.messageTimeout, true);
    if (!judged) {
        m_AwaitingDataEnd = false;
        co_return false;
    }
    co_return true;
}

Task SmtpSession::reportSuccess() {
    post([this] { emit Progress(100); });
    status(QStringLiteral("Transmission Complete..."));
    if (!m_Settings.keepConnection) {
        co_await closeConnection();
    }
    if (m_OutcomePending) {
        m_OutcomePending = false;
        SmtpOutcome outcome;
        outcome.recipients = m_RecipientReplies;
        post([this, outcome] { emit Outcome(outcome); });
    }
    co_return true;
}

void SmtpSession::sendEnvelopeCommand(const QString &command) {
    // UTF-8 reaches the wire only with SMTPUTF8; otherwise the command is
    // ASCII, the same bytes in either form.
    m_Socket->SendData((command + CRLF).toUtf8());
    trace(command);
}

void SmtpSession::sendCommand(const QString &command) {
    m_Socket->SendData(command + CRLF);
    trace(command);
}

// ---- Closing ---------------------------------------------------------------------

Task SmtpSession::closeConnection() {
    // After a failure the closing has been announced with it.
    const bool announced = Aborted;
    if (m_Socket->State() != WinSck::sckClosed && !announced) {
        status(QStringLiteral("Closing Connection..."));
    }
    // While the server may be reading message text after a pipelined DATA,
    // a QUIT would become part of the message: the connection is closed
    // without it, and without the end of the data, so nothing is delivered.
    if (m_Socket->State() == WinSck::sckConnected && !m_EnvelopeGroupOpen) {
        ReplyOK = false;
        if (!m_QuitSent) {
            sendCommand(QStringLiteral("QUIT"));
        }
        // The reply to QUIT is read even after a failure.
        Aborted = false;
        co_await waitFor(ReplyOK, 2, false);
        Aborted = Aborted || announced;
    }
    m_Socket->Close();
    m_ReplyBuffer.clear();
    m_HoldReplies = false;
    m_EnvelopeGroupOpen = false;
    m_QuitSent = false;
    co_return true;
}

// ---- Socket events ---------------------------------------------------------------

void SmtpSession::onConnect() {
    SocketConnected = true;
    wake();
}

void SmtpSession::onClose() {
    SocketConnected = false;
    if (m_Sasl && m_TokenRenewed) {
        // The login with a fresh token need not wait for a closed connection.
        SaslEnded = true;
    }
    // A server that closes instead of answering the end of the data is not
    // waited for until MessageTimeout.
    while (m_AwaitingDataEnd && !m_MessageAccepted && !Aborted && judgeHeldReply()) {
    }
    if (m_AwaitingDataEnd && !m_MessageAccepted && !Aborted) {
        AddError(MsgClosedAfterData, SmtpOutcome::Kind::Connect);
        ReportFailure();
    }
    wake();
}

void SmtpSession::onError(int number, const QString &description) {
    QString message = QString::number(number) + " - " + description;
    if (number == WinSck::sckHostNotFound || number == WinSck::sckHostUnreachable) {
        message += " (" + m_Socket->RemoteHost() + ")";
    }
    if (m_MessageAccepted) {
        trace(message);
        trace(MsgIgnoredAfterAcceptance);
        return;
    }
    AddError(message, SmtpOutcome::Kind::Connect);
    ReportFailure();
}

void SmtpSession::onSendProgress(qint64 bytesSent, qint64 bytesRemaining) {
    constexpr qint64 maxBytes = std::numeric_limits<int32_t>::max();
    BytesSent = static_cast<int32_t>(std::min<qint64>(BytesSent + bytesSent, maxBytes));
    ProgressSeen = true;
    m_SinceProgress = MidnightStopwatch();
    const int32_t percent = ProgressPercent(BytesSent, m_Settings.totalBytes);
    if (percent != LastPercent) {
        LastPercent = percent;
        if (m_Socket->State() == WinSck::sckConnected) {
            post([this, percent] { emit Progress(percent); });
        }
    }
    BytesRemaining = static_cast<int32_t>(std::min(bytesRemaining, maxBytes));
    wake();
}

void SmtpSession::onDataArrival() {
    if (m_Socket->State() != WinSck::sckConnected) {
        return;
    }
    QString data;
    m_Socket->GetData(data);
    if (Aborted) {
        // After a failure nothing the server says matters until QUIT.
        return;
    }
    if (arrivalToDrop(data)) {
        return;
    }
    m_AnyDataSeen = m_AnyDataSeen || !data.isEmpty();
    m_ReplyBuffer.append(data);
    // Arrivals are assembled into complete replies: a segment boundary inside
    // a line must not be judged as a reply of its own. Each complete reply is
    // traced and judged once, in order, even when several arrive together.
    // With pipelined commands the replies after the one that ends the running
    // wait are left for the waits that follow.
    while (!Aborted && !(m_HoldReplies && m_AwaitedFlag && *m_AwaitedFlag)) {
        std::optional<Reply> reply = m_ReplyBuffer.next();
        if (!reply) {
            break;
        }
        judgeReply(*reply);
        if (m_StartTlsSent && ReplyOK) {
            // The consent to STARTTLS: whatever came with it is dropped.
            m_StartTlsSent = false;
            m_DiscardBeforeTls = true;
            m_ReplyBuffer.clear();
            break;
        }
        if (m_Socket->State() != WinSck::sckConnected) {
            m_ReplyBuffer.clear();
            break;
        }
    }
    wake();
}

void SmtpSession::judgeReply(const Reply &reply) {
    if (reply.cut) {
        // Too long to be an answer, whatever its code says.
        trace(reply.text);
        failOnReply(reply.text);
    } else {
        handleReply(reply.text);
    }
}

bool SmtpSession::judgeHeldReply() {
    // A reply that came before the server closed the connection (a 421)
    // still counts.
    if (!m_HoldReplies) {
        return false;
    }
    const std::optional<Reply> reply = m_ReplyBuffer.next();
    if (!reply) {
        return false;
    }
    judgeReply(*reply);
    return true;
}

void SmtpSession::handleReply(const QString &reply) {
    if (TrimBlanks(reply).isEmpty()) {
        trace(QStringLiteral("**Empty**"));
    } else {
        trace(reply);
    }
    const QString code = reply.left(3).toUpper();
    if (noteEndOfDataReply(code) || noteRecipientReply(code, reply)) {
        return;
    }
    if (code == QLatin1String("220") || code == QLatin1String("221") ||
        code == QLatin1String("251")) {
        ReplyOK = true;
    } else if (code == QLatin1String("250")) {
        ReplyOK = true;
        if (ReadingEhlo) {
            m_EhloReply = reply;
            const SmtpExtensions offered = ParseEhloReply(reply);
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
        SaslEnded = true;
    } else if (code == QLatin1String("334")) {
        if (m_Sasl) {
            answerSaslChallenge(reply);
        } else {
            answerAuthPrompt(reply);
        }
    } else if (code == QLatin1String("354")) {
        DataReady = true;
    } else if (code == QLatin1String("211") || code == QLatin1String("214")) {
        // Help and status replies change nothing.
    } else if (code == QLatin1String("+OK")) {
        pop3Step();
    } else if (EhloFallback && (code == QLatin1String("500") || code == QLatin1String("502"))) {
        // Ends the EHLO wait; the hello step says HELO instead.
        EhloFallback = false;
        EhloRefused = true;
        ReplyOK = true;
    } else {
        if (code == QLatin1String("-ER")) {
            PopDone = false;
            PopStep = 0;
        }
        if (m_Sasl &&
            (m_Sasl->mechanism() == sasl::Mechanism::XOAuth2 ||
             m_Sasl->mechanism() == sasl::Mechanism::OAuthBearer) &&
            code == QLatin1String("535")) {
            // The server refused the OAuth token: the owner that renews
            // tokens is asked for a fresh one (saslLogin) before it fails.
            m_TokenRefused = true;
            if (m_Settings.renewToken && !m_TokenRenewed && m_Errors.isEmpty()) {
                m_HeldRefusal = reply;
                SaslEnded = true;
                return;
            }
        }
        failOnReply(reply);
    }
}

// The first reply after the end of the data says whether the server took the
// message; a positive one is the delivery, and ends the wait for it.
bool SmtpSession::noteEndOfDataReply(const QString &code) {
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

// Each RCPT reply is told to the owner. With partial delivery a refusal
// ends the wait for it like an acceptance; the send goes on for the others.
bool SmtpSession::noteRecipientReply(const QString &code, const QString &reply) {
    if (m_RcptIndex < 0 || code == QLatin1String("211") || code == QLatin1String("214")) {
        return false;
    }
    const QString address = m_RcptAddresses.value(std::exchange(m_RcptIndex, -1));
    const int number = code.toInt();
    m_RecipientReplies.append({address, number, reply});
    post([this, address, number, reply] { emit RecipientResult(address, number, reply); });
    if (code == QLatin1String("250") || code == QLatin1String("251")) {
        ++m_RcptAccepted;
        return false;
    }
    if (m_Settings.partialDelivery && isRefusal(code)) {
        m_RcptRefusals << reply;
        ReplyOK = true;
        return true;
    }
    return false;
}

void SmtpSession::failOnReply(const QString &reply) {
    if (m_MessageAccepted) {
        // The server has taken the message (RFC 5321, 4.1.1.4): what it says
        // after that, to QUIT or unasked, cannot undo the delivery. The reply
        // is in the trace already; it also ends the wait for the reply to QUIT.
        trace(MsgIgnoredAfterAcceptance);
        ReplyOK = true;
        return;
    }
    AddError(reply, reply.startsWith(QLatin1String("-ER")) ? SmtpOutcome::Kind::Login
                                                           : SmtpOutcome::Kind::Reply);
    ReportFailure();
}

void SmtpSession::answerAuthPrompt(const QString &reply) {
    QString prompt = TrimBlanks(reply.mid(3));
    prompt.remove(CRLF);
    QString decoded = DecodeBase64String(prompt);
    // Servers word the prompts differently: "Username:", or "User Name" with
    // a NUL after it as the mechanism's own description has it.
    decoded.remove(QLatin1Char(' ')).remove(QChar(0));
    if (decoded.contains(QLatin1String("username"), Qt::CaseInsensitive)) {
        m_Socket->SendData(EncodeBase64String(m_Settings.username));
        trace(m_Settings.username);
    } else if (decoded.contains(QLatin1String("password"), Qt::CaseInsensitive)) {
        m_Socket->SendData(EncodeBase64String(m_Settings.password));
        // The password is never traced.
        trace(m_Settings.username);
    } else {
        m_Socket->SendData(CRLF + "*" + CRLF);
        trace(CRLF + "*");
    }
}

void SmtpSession::pop3Step() {
    switch (PopStep) {
    case 0:
        m_Socket->SendData("USER " + m_Settings.username + CRLF);
        trace("USER " + m_Settings.username);
        PopStep = 1;
        break;
    case 1:
        m_Socket->SendData("PASS " + m_Settings.password + CRLF);
        // The trace never shows the password.
        trace(QStringLiteral("PASS ****"));
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

} // namespace sendmail
