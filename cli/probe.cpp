#include "cli/probe.h"

#include "cli/reporter.h"

#include "net/socket.h"
#include "net/tls_policy.h"
#include "sasl/sasl_client.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QSslCertificate>
#include <QTimer>

#include <memory>

namespace kelmsend {

std::optional<QStringList> TakeReply(QString &buffer) {
    QStringList lines;
    qsizetype from = 0;
    for (;;) {
        const qsizetype end = buffer.indexOf(QLatin1Char('\n'), from);
        if (end < 0) {
            return std::nullopt;
        }
        QString line = buffer.mid(from, end - from);
        if (line.endsWith(QLatin1Char('\r'))) {
            line.chop(1);
        }
        from = end + 1;
        lines << line;
        // "250-..." continues the reply; "250 ..." or a bare "250" ends it.
        if (line.size() < 4 || line[3] != QLatin1Char('-')) {
            buffer.remove(0, from);
            return lines;
        }
    }
}

namespace {

constexpr int kDefaultTimeoutSeconds = 30;

QString modeName(sendmail::TlsMode mode) {
    switch (mode) {
    case sendmail::TlsMode::None:
        return QStringLiteral("none");
    case sendmail::TlsMode::Opportunistic:
        return QStringLiteral("opportunistic");
    case sendmail::TlsMode::Required:
        return QStringLiteral("starttls");
    case sendmail::TlsMode::Implicit:
        return QStringLiteral("implicit");
    }
    return QString();
}

bool offers(const QStringList &ehlo, const QString &keyword) {
    for (qsizetype i = 1; i < ehlo.size(); ++i) {
        const QString text = ehlo[i].mid(4).trimmed();
        if (text.compare(keyword, Qt::CaseInsensitive) == 0 ||
            text.startsWith(keyword + QLatin1Char(' '), Qt::CaseInsensitive)) {
            return true;
        }
    }
    return false;
}

// One probe: the socket, what it has delivered, and bounded waits for it.
class Probe {
public:
    Probe(const Options &o, const std::function<void(const QString &)> &print)
        : m_o(o), m_print([print](const QString &line) { print(PrintableText(line)); }),
          m_timeoutMs((o.connectTimeout > 0 ? o.connectTimeout : kDefaultTimeoutSeconds) * 1000),
          m_port(o.port != 0 ? o.port : 25), m_socket(std::make_unique<WinSck>()) {
        QObject::connect(m_socket.get(), &WinSck::ConnectEvent, [this] { m_connected = true; });
        QObject::connect(m_socket.get(), &WinSck::CloseEvent, [this] {
            collect();
            m_failure = QStringLiteral("the server closed the connection");
        });
        QObject::connect(m_socket.get(), &WinSck::Error,
                         [this](int, const QString &why) { m_failure = why; });
        QObject::connect(m_socket.get(), &WinSck::DataArrival, [this](qint64) { collect(); });
        QObject::connect(m_socket.get(), &WinSck::TlsReady, [this] { m_tlsReady = true; });
        QObject::connect(m_socket.get(), &WinSck::TlsFailed,
                         [this](const QString &why) { m_failure = "TLS: " + why; });
    }
    ~Probe() { m_socket->Close(); }

    // "" when the probe held, else why not.
    QString run() {
        const sendmail::TlsMode mode = EffectiveTlsMode(m_o);
        m_print("Server: " + m_o.server + " port " + QString::number(m_port) + ", TLS " +
                modeName(mode));
        m_socket->setRemoteHost(m_o.server);
        m_socket->setRemotePort(m_port);
        m_socket->Connect();
        if (!waitFor([this] { return m_connected; })) {
            return failure(QStringLiteral("no connection within %1 seconds"));
        }
        m_print("Connected to " + m_socket->PeerAddress().toString());
        if (mode == sendmail::TlsMode::Implicit && !handshake(true)) {
            return m_failure;
        }

        const std::optional<QStringList> greeting = reply();
        if (!greeting) {
            if (mode != sendmail::TlsMode::Implicit && m_failure.isEmpty() &&
                sendmail::ClassifyFirstBytes(m_inbox.toLatin1()) ==
                    sendmail::FirstBytes::TlsHandshake) {
                return sendmail::ExpectsImplicitTlsText(quint16(m_port));
            }
            if (mode != sendmail::TlsMode::Implicit && m_failure.isEmpty() && m_inbox.isEmpty()) {
                return QStringLiteral("no greeting within %1 seconds; a server that stays silent "
                                      "may expect TLS from the first byte: try --tls implicit")
                    .arg(m_timeoutMs / 1000);
            }
            return failure(QStringLiteral("no complete greeting within %1 seconds"));
        }
        printReply(QStringLiteral("Greeting:"), *greeting);
        if (!greeting->constFirst().startsWith(QLatin1Char('2'))) {
            return QStringLiteral("the server refuses the session");
        }

        std::optional<QStringList> ehlo = hello();
        if (!ehlo) {
            return m_failure;
        }
        printReply(m_socket->IsEncrypted() ? QStringLiteral("Capabilities (over TLS):")
                                           : QStringLiteral("Capabilities:"),
                   *ehlo);

        if (mode == sendmail::TlsMode::Opportunistic || mode == sendmail::TlsMode::Required) {
            if (!offers(*ehlo, QStringLiteral("STARTTLS"))) {
                if (mode == sendmail::TlsMode::Required) {
                    return QStringLiteral("TLS: the server does not offer STARTTLS");
                }
                m_print(QStringLiteral("STARTTLS: not offered; the connection stays in clear "
                                       "text"));
            } else {
                m_socket->SendData(QStringLiteral("STARTTLS\r\n"));
                const std::optional<QStringList> consent = reply();
                if (!consent) {
                    return failure(QStringLiteral("no answer to STARTTLS within %1 seconds"));
                }
                printReply(QStringLiteral("STARTTLS:"), *consent);
                if (!consent->constFirst().startsWith(QLatin1String("220"))) {
                    return "TLS: the server refused STARTTLS: " + consent->join(QLatin1Char(' '));
                }
                // What came before the handshake was not protected.
                m_inbox.clear();
                if (!handshake(false)) {
                    return m_failure;
                }
                ehlo = hello();
                if (!ehlo) {
                    return m_failure;
                }
                printReply(QStringLiteral("Capabilities (over TLS):"), *ehlo);
            }
        }

        const QStringList mechanisms = sasl::OfferedMechanisms(ehlo->join(QStringLiteral("\r\n")));
        m_print("SASL mechanisms: " +
                (mechanisms.isEmpty() ? QStringLiteral("none") : mechanisms.join(u' ')));
        m_socket->SendData(QStringLiteral("QUIT\r\n"));
        waitFor([this] { return m_inbox.contains(QLatin1Char('\n')) || !m_failure.isEmpty(); },
                qMin(m_timeoutMs, 2000));
        return QString();
    }

private:
    void collect() {
        QString data;
        m_socket->GetData(data);
        m_inbox += data;
        if (m_inbox.size() > kMaxProbeInbox && m_failure.isEmpty()) {
            m_failure = "the server sent more than " + QString::number(kMaxProbeInbox / 1024) +
                        " KiB without completing a reply";
        }
    }

    // Runs the event loop in short slices until `done` or the deadline.
    bool waitFor(const std::function<bool()> &done, int limitMs = -1) {
        const QDeadlineTimer deadline(limitMs < 0 ? m_timeoutMs : limitMs);
        while (!done()) {
            if (deadline.hasExpired() || (!m_failure.isEmpty())) {
                return done();
            }
            QEventLoop loop;
            QTimer::singleShot(qBound(qint64(1), deadline.remainingTime(), qint64(50)), &loop,
                               &QEventLoop::quit);
            loop.exec();
        }
        return true;
    }

    // The failure the socket reported, else `timeoutText` with the limit.
    QString failure(const QString &timeoutText) const {
        return m_failure.isEmpty() ? timeoutText.arg(m_timeoutMs / 1000) : m_failure;
    }

    std::optional<QStringList> reply() {
        std::optional<QStringList> r;
        waitFor([&] { return (r = TakeReply(m_inbox)).has_value(); });
        return r;
    }

    std::optional<QStringList> hello() {
        const QString name = m_o.hello.isEmpty() ? QStringLiteral("localhost") : m_o.hello;
        m_socket->SendData("EHLO " + name + "\r\n");
        std::optional<QStringList> r = reply();
        if (!r) {
            m_failure = failure(QStringLiteral("no answer to EHLO within %1 seconds"));
            return std::nullopt;
        }
        if (!r->constFirst().startsWith(QLatin1Char('2'))) {
            m_failure = "the server refuses EHLO: " + r->join(QLatin1Char(' '));
            return std::nullopt;
        }
        return r;
    }

    bool handshake(bool implicit) {
        WinSck::TlsSettings settings;
        settings.peerName = m_o.server;
        settings.verify = !m_o.tlsInsecure;
        settings.caFile = m_o.tlsCa;
        settings.fingerprint =
            sendmail::ParseFingerprint(m_o.tlsFingerprint).value_or(QByteArray());
        settings.implicit = implicit;
        m_socket->StartTls(settings);
        if (!waitFor([this] { return m_tlsReady; })) {
            m_failure = failure(QStringLiteral("TLS: the handshake did not finish within %1 "
                                               "seconds"));
            return false;
        }
        const QSslCertificate c = m_socket->PeerCertificate();
        m_print("TLS: " + m_socket->TlsDescription());
        m_print("Certificate subject: " + c.subjectDisplayName());
        m_print("Certificate issuer: " + c.issuerDisplayName());
        m_print("Certificate valid: " + c.effectiveDate().toUTC().toString(Qt::ISODate) + " to " +
                c.expiryDate().toUTC().toString(Qt::ISODate));
        m_print("Certificate SHA-256: " +
                sendmail::FingerprintText(c.digest(QCryptographicHash::Sha256)));
        return true;
    }

    void printReply(const QString &title, const QStringList &lines) {
        m_print(title);
        for (const QString &line : lines) {
            m_print("  " + line);
        }
    }

    const Options &m_o;
    std::function<void(const QString &)> m_print;
    int m_timeoutMs;
    int m_port;
    std::unique_ptr<WinSck> m_socket;
    QString m_inbox;
    QString m_failure;
    bool m_connected = false;
    bool m_tlsReady = false;
};

} // namespace

int RunProbe(const Options &options, const std::function<void(const QString &)> &print,
             const std::function<void(const QString &)> &fail) {
    Probe probe(options, print);
    const QString problem = probe.run();
    if (!problem.isEmpty()) {
        fail(problem);
        return kExitFailed;
    }
    return kExitSent;
}

} // namespace kelmsend
