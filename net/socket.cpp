#include "net/socket.h"

#include "net/tls_policy.h"

#include <QCoreApplication>
#include <QHostInfo>
#include <QMetaObject>
#include <QNetworkProxy>
#include <QSslCipher>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <utility>

namespace {
// SendData writes what it has gathered at once when it reaches this size;
// smaller amounts wait for the end of the current pass of the event loop.
constexpr qsizetype kOutboxWriteBytes = 64 * 1024;
} // namespace

// ---------------------------------------------------------------------------
// Error numbers

WinSck::ErrorInfo WinSck::DescribeError(QAbstractSocket::SocketError error, const QString &qtText) {
    using E = QAbstractSocket::SocketError;
    switch (error) {
    case E::ConnectionRefusedError:
        return {sckConnectionRefused, QStringLiteral("Connection refused")};
    case E::RemoteHostClosedError:
        return {sckConnectionReset, QStringLiteral("Connection reset by peer")};
    case E::HostNotFoundError:
        return {sckHostNotFound, QStringLiteral("Host not found")};
    case E::SocketAccessError:
        return {sckPermissionDenied, QStringLiteral("Permission denied")};
    case E::SocketResourceError:
        return {sckOutOfBuffers, QStringLiteral("No buffer space available")};
    case E::SocketTimeoutError:
        return {sckTimedOut, QStringLiteral("Connection timed out")};
    case E::DatagramTooLargeError:
        return {sckMessageTooLong, QStringLiteral("Message too long")};
    case E::AddressInUseError:
        return {sckAddressInUse, QStringLiteral("Address already in use")};
    case E::SocketAddressNotAvailableError:
        return {sckAddressNotAvailable, QStringLiteral("Address not available")};
    case E::UnsupportedSocketOperationError:
        return {sckOperationNotSupported, QStringLiteral("Operation not supported")};
    case E::UnfinishedSocketOperationError:
        return {sckInProgress, QStringLiteral("Operation already in progress")};
    case E::TemporaryError:
        return {sckWouldBlock, QStringLiteral("Resource temporarily unavailable")};
    case E::OperationError:
        return {sckNotConnected, QStringLiteral("Socket is not connected")};
    case E::NetworkError: {
        // Qt folds several connect failures into NetworkError; only its text
        // says which one it was.
        const QString t = qtText.toLower();
        if (t.contains(QLatin1String("host unreachable")) ||
            t.contains(QLatin1String("no route to host")))
            return {sckHostUnreachable, QStringLiteral("Host unreachable")};
        if (t.contains(QLatin1String("network unreachable")) ||
            t.contains(QLatin1String("network is unreachable")))
            return {sckNetworkUnreachable, QStringLiteral("Network unreachable")};
        if (t.contains(QLatin1String("timed out")))
            return {sckTimedOut, QStringLiteral("Connection timed out")};
        if (t.contains(QLatin1String("refused")))
            return {sckConnectionRefused, QStringLiteral("Connection refused")};
        if (t.contains(QLatin1String("reset")))
            return {sckConnectionReset, QStringLiteral("Connection reset by peer")};
        if (t.contains(QLatin1String("abort")))
            return {sckConnectionAborted, QStringLiteral("Connection aborted")};
        return {sckNetworkDown, QStringLiteral("Network error")};
    }
    default:
        break;
    }
    return {sckSocketError, qtText.isEmpty() ? QStringLiteral("Unknown socket error") : qtText};
}

// ---------------------------------------------------------------------------
// WinSck

QList<QHostAddress> WinSck::AttemptOrder(const QList<QHostAddress> &addresses) {
    QList<QHostAddress> v6, v4;
    for (const QHostAddress &a : addresses) {
        QList<QHostAddress> &family = a.protocol() == QAbstractSocket::IPv6Protocol ? v6 : v4;
        if ((a.protocol() == QAbstractSocket::IPv6Protocol ||
             a.protocol() == QAbstractSocket::IPv4Protocol) &&
            !family.contains(a))
            family << a;
    }
    QList<QHostAddress> order;
    for (qsizetype i = 0; i < std::max(v6.size(), v4.size()); ++i) {
        if (i < v6.size())
            order << v6[i];
        if (i < v4.size())
            order << v4[i];
    }
    return order;
}

WinSck::WinSck(QObject *parent) : QObject(parent), m_attemptDelay(new QTimer(this)) {
    m_attemptDelay->setSingleShot(true);
    m_attemptDelay->setInterval(kConnectionAttemptDelayMs);
    connect(m_attemptDelay, &QTimer::timeout, this, &WinSck::StartNextAttempt);
}

WinSck::~WinSck() {
    DropConnection();
}

QString WinSck::RemoteHost() const {
    return m_remoteHost;
}
void WinSck::setRemoteHost(const QString &host) {
    m_remoteHost = host;
}
int WinSck::RemotePort() const {
    return m_remotePort;
}
void WinSck::setRemotePort(int port) {
    m_remotePort = port;
}
int WinSck::State() const {
    return m_state;
}

qint64 WinSck::BytesQueued() const {
    if (!m_tcp || m_ended)
        return 0;
    // Over TLS Qt encrypts at once what it is given; until the kernel takes
    // it, the encrypted form waits in the socket, and counts as queued too.
    return m_outbox.size() + m_tcp->bytesToWrite() + (m_ssl ? m_ssl->encryptedBytesToWrite() : 0);
}

// Runs `event` later from the event queue, unless Connect or Close has
// started over in the meantime. The event is the last thing that touches
// this object: a listener may delete the socket from inside its handler.
template <typename Fn> void WinSck::Deliver(Fn &&event) {
    const quint64 generation = m_generation;
    QMetaObject::invokeMethod(
        this,
        [this, generation, event = std::forward<Fn>(event)]() mutable {
            if (generation == m_generation)
                event();
        },
        Qt::QueuedConnection);
}

void WinSck::DropAttempt(QTcpSocket *attempt) {
    // Cut the wires first: abort() signals synchronously.
    attempt->disconnect(this);
    attempt->abort();
    attempt->deleteLater();
}

void WinSck::DropConnection() {
    ++m_generation;
    m_inbox.clear();
    m_arrivalQueued = false;
    m_ended = false;
    if (m_lookupId >= 0)
        QHostInfo::abortHostLookup(std::exchange(m_lookupId, -1));
    m_attemptDelay->stop();
    for (QTcpSocket *attempt : std::exchange(m_attempts, {}))
        DropAttempt(attempt);
    m_addresses.clear();
    m_nextAddress = 0;
    m_lastFailure = {};
    m_tlsPending = false;
    m_tlsRefusal.clear();
    m_outbox.clear();
    m_ssl = nullptr;
    if (!m_tcp)
        return;
    QTcpSocket *tcp = std::exchange(m_tcp, nullptr);
    // Cut the wires first: abort() signals disconnected and stateChanged
    // synchronously, and those belong to nobody any more.
    tcp->disconnect(this);
    tcp->abort();
    tcp->deleteLater();
}

void WinSck::Connect() {
    DropConnection();

    if (m_remotePort < 1 || m_remotePort > 65535) {
        m_state = sckResolvingHost;
        EndWithError({sckAddressNotAvailable, QStringLiteral("Address not available")});
        return;
    }

    // The states read 4, then 6, then 7 for an address as for a name.
    m_state = sckResolvingHost;
    QString host = m_remoteHost;
    if (host.size() > 2 && host.front() == u'[' && host.back() == u']')
        host = host.mid(1, host.size() - 2);
    // An address is not looked up: QHostInfo would ask for its name.
    if (QHostAddress literal; literal.setAddress(host)) {
        StartRace({literal});
        return;
    }
    const quint64 generation = m_generation;
    m_lookupId = QHostInfo::lookupHost(host, this, [this, generation](const QHostInfo &info) {
        if (generation != m_generation)
            return;
        m_lookupId = -1;
        const QList<QHostAddress> order = AttemptOrder(info.addresses());
        if (info.error() != QHostInfo::NoError || order.isEmpty()) {
            EndWithError(DescribeError(QAbstractSocket::HostNotFoundError, info.errorString()));
            return;
        }
        StartRace(order);
    });
}

void WinSck::StartRace(const QList<QHostAddress> &addresses) {
    m_addresses = addresses;
    m_nextAddress = 0;
    Deliver([this] { m_state = sckConnecting; });
    StartNextAttempt();
}

void WinSck::StartNextAttempt() {
    if (m_tcp || m_ended || m_nextAddress >= m_addresses.size())
        return;
    const QHostAddress address = m_addresses[m_nextAddress++];
    auto *attempt = new QTcpSocket(this);
    // Mail goes straight to the server; an application-wide proxy setting
    // must not reroute it.
    attempt->setProxy(QNetworkProxy::NoProxy);
    // Qt reads from the kernel only while its own buffer has room.
    attempt->setReadBufferSize(MaxHeldBytes);
    m_attempts.push_back(attempt);
    connect(attempt, &QAbstractSocket::connected, this,
            [this, attempt] { OnAttemptConnected(attempt); });
    connect(
        attempt, &QAbstractSocket::errorOccurred, this,
        [this, attempt](QAbstractSocket::SocketError error) { OnAttemptFailed(attempt, error); });
    if (m_nextAddress < m_addresses.size())
        m_attemptDelay->start();
    // May fail synchronously (no route for this family, for one): the
    // failure handler only queues what follows.
    attempt->connectToHost(address, quint16(m_remotePort));
}

void WinSck::OnAttemptFailed(QTcpSocket *attempt, QAbstractSocket::SocketError error) {
    m_lastFailure = DescribeError(error, attempt->errorString());
    std::erase(m_attempts, attempt);
    // Qt may be signalling from inside connectToHost: the socket is only
    // unhooked here, and the race goes on from the event queue.
    attempt->disconnect(this);
    attempt->deleteLater();
    const quint64 generation = m_generation;
    QMetaObject::invokeMethod(
        this,
        [this, generation] {
            if (generation != m_generation || m_tcp || m_ended)
                return;
            if (m_nextAddress < m_addresses.size()) {
                // A failed address hands over at once, not after the delay.
                m_attemptDelay->stop();
                StartNextAttempt();
            } else if (m_attempts.empty()) {
                EndWithError(m_lastFailure);
            }
        },
        Qt::QueuedConnection);
}

void WinSck::OnAttemptConnected(QTcpSocket *attempt) {
    m_attemptDelay->stop();
    std::erase(m_attempts, attempt);
    for (QTcpSocket *other : std::exchange(m_attempts, {}))
        DropAttempt(other);
    m_addresses.clear();
    attempt->disconnect(this);
    Attach(attempt);
    OnQtConnected();
}

void WinSck::Attach(QTcpSocket *connection) {
    m_tcp = connection;
    connect(m_tcp, &QAbstractSocket::stateChanged, this, &WinSck::OnQtStateChanged);
    connect(m_tcp, &QIODevice::readyRead, this, &WinSck::OnQtReadyRead);
    connect(m_tcp, &QIODevice::bytesWritten, this, &WinSck::OnQtBytesWritten);
    connect(m_tcp, &QAbstractSocket::errorOccurred, this, &WinSck::OnQtError);
    connect(m_tcp, &QAbstractSocket::disconnected, this, &WinSck::OnQtDisconnected);
}

void WinSck::Close() {
    DropConnection();
    m_state = sckClosed;
}

void WinSck::SendData(const QString &text) {
    SendData(text.toLatin1());
}

void WinSck::SendData(const QByteArray &bytes) {
    // The Qt socket may already be gone while its close event is still
    // queued; the bytes would only provoke a second, misleading error.
    if (m_state != sckConnected || !m_tcp || m_ended ||
        m_tcp->state() != QAbstractSocket::ConnectedState || bytes.isEmpty())
        return;
    m_outbox += bytes;
    if (m_outbox.size() >= kOutboxWriteBytes) {
        FlushOutbox();
        return;
    }
    if (m_flushQueued)
        return;
    m_flushQueued = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_flushQueued = false;
            FlushOutbox();
        },
        Qt::QueuedConnection);
}

void WinSck::FlushOutbox() {
    if (m_outbox.isEmpty() || !m_tcp || m_ended)
        return;
    // Handing the buffer over whole spares Qt a copy of it.
    m_tcp->write(std::exchange(m_outbox, {}));
}

void WinSck::GetData(QString &data) {
    data = QString::fromLatin1(m_inbox);
    m_inbox.clear();
    // Whatever waited for room comes in now, announced by its own event.
    if (!m_ended)
        CollectIncoming();
}

// Moves what Qt has buffered into our own buffer, up to MaxHeldBytes unless
// `everything` (the connection has ended and its last bytes must not be
// lost), and makes sure one DataArrival is on its way for it.
void WinSck::CollectIncoming(bool everything) {
    if (m_tcp && m_tcp->bytesAvailable() > 0) {
        const qint64 available = m_tcp->bytesAvailable();
        // Never more than is there: read(n) sets aside n bytes first, and a
        // reply of a few dozen bytes would hold a buffer of MaxHeldBytes.
        const qint64 room =
            everything ? available : std::min(available, MaxHeldBytes - m_inbox.size());
        if (room > 0)
            m_inbox.append(m_tcp->read(room));
    }
    if (m_inbox.isEmpty() || m_arrivalQueued)
        return;
    m_arrivalQueued = true;
    Deliver([this] {
        m_arrivalQueued = false;
        // A listener that read everything during an earlier event has
        // nothing left to be told about.
        if (m_inbox.isEmpty())
            return;
        emit DataArrival(m_inbox.size());
    });
}

void WinSck::OnQtStateChanged(QAbstractSocket::SocketState state) {
    if (m_ended)
        return;
    int mapped;
    switch (state) {
    case QAbstractSocket::HostLookupState:
        mapped = sckResolvingHost;
        break;
    case QAbstractSocket::ConnectingState:
        mapped = sckConnecting;
        break;
    case QAbstractSocket::ClosingState:
        mapped = sckClosing;
        break;
    default:
        // Connected, closed and failed are set by their own events.
        return;
    }
    Deliver([this, mapped] { m_state = mapped; });
}

void WinSck::OnQtConnected() {
    if (m_ended)
        return;
    // Commands are small and each waits for a reply; Nagle's algorithm would
    // hold every one of them back for the peer's delayed ACK.
    m_tcp->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    Deliver([this] {
        m_state = sckConnected;
        emit ConnectEvent();
    });
}

void WinSck::OnQtReadyRead() {
    if (m_ended)
        return;
    CollectIncoming();
}

void WinSck::OnQtBytesWritten(qint64 bytes) {
    if (m_ended)
        return;
    const qint64 remaining = BytesQueued();
    Deliver([this, bytes, remaining] { emit SendProgress(bytes, remaining); });
}

void WinSck::OnEncryptedBytesWritten() {
    if (m_ended)
        return;
    const qint64 remaining = BytesQueued();
    Deliver([this, remaining] { emit SendProgress(0, remaining); });
}

void WinSck::OnQtError(QAbstractSocket::SocketError error) {
    if (m_ended)
        return;
    if (m_tlsPending) {
        if (!m_tlsRefusal.isEmpty()) {
            EndWithTlsFailure(m_tlsRefusal);
        } else if (error == QAbstractSocket::RemoteHostClosedError) {
            EndWithTlsFailure(QStringLiteral("the server closed the connection during the TLS "
                                             "handshake"));
        } else if (m_tls.implicit && error == QAbstractSocket::SslHandshakeFailedError &&
                   m_tcp->errorString().contains(QLatin1StringView("wrong version number"),
                                                 Qt::CaseInsensitive)) {
            // OpenSSL read the server's clear-text greeting as a TLS record.
            EndWithTlsFailure(sendmail::AnswersInClearText(quint16(m_remotePort)));
        } else {
            EndWithTlsFailure(QStringLiteral("the TLS handshake failed: ") + m_tcp->errorString());
        }
        return;
    }
    if (error == QAbstractSocket::RemoteHostClosedError) {
        // Qt reports the peer's orderly close as this error, and a reset the
        // same way. Both end the conversation as a close.
        EndWithClose();
        return;
    }
    EndWithError(DescribeError(error, m_tcp->errorString()));
}

void WinSck::OnQtDisconnected() {
    if (m_ended)
        return;
    if (m_tlsPending) {
        EndWithTlsFailure(
            QStringLiteral("the server closed the connection during the TLS handshake"));
        return;
    }
    EndWithClose();
}

void WinSck::EndWithClose() {
    CollectIncoming(true);
    m_ended = true;
    Deliver([this] {
        m_state = sckClosed;
        emit CloseEvent();
    });
}

void WinSck::EndWithError(const ErrorInfo &info) {
    CollectIncoming(true);
    m_ended = true;
    Deliver([this, info] {
        m_state = sckError;
        emit Error(info.Number, info.Description);
    });
}

void WinSck::StartTls(const TlsSettings &settings) {
    if (m_state != sckConnected || !m_tcp || m_ended) {
        Deliver([this] { emit TlsFailed(QStringLiteral("the connection is not open")); });
        return;
    }
    if (!QSslSocket::supportsSsl()) {
        EndWithTlsFailure(QStringLiteral("TLS is not available (no TLS library could be loaded)"));
        return;
    }
    // What came before the handshake was not protected: implicit TLS learns
    // from it that the server talks in clear text, STARTTLS throws it away
    // (a man in the middle could have added it after the server's 220).
    const QByteArray early = m_inbox + m_tcp->readAll();
    m_inbox.clear();
    if (settings.implicit &&
        sendmail::ClassifyFirstBytes(early) == sendmail::FirstBytes::ClearText) {
        EndWithTlsFailure(sendmail::AnswersInClearText(quint16(m_remotePort)));
        return;
    }
    if (!m_ssl && !HandOverToTls())
        return;

    QSslConfiguration conf = QSslConfiguration::defaultConfiguration();
    conf.setProtocol(QSsl::TlsV1_2OrLater);
    if (!settings.caFile.isEmpty()) {
        const QList<QSslCertificate> extra = QSslCertificate::fromPath(settings.caFile);
        if (extra.isEmpty()) {
            EndWithTlsFailure(
                QStringLiteral("no certificate could be read from %1").arg(settings.caFile));
            return;
        }
        // The handshake trusts the file; the system's store is consulted
        // only for a chain the file does not vouch for (OnSslErrors), so a
        // server under the user's own authority costs no store at all.
        conf.setCaCertificates(extra);
    }
    // A pinned fingerprint is judged in OnSslErrors and OnEncrypted, so the
    // chain is still looked at; without verification nothing is.
    conf.setPeerVerifyMode(settings.verify || !settings.fingerprint.isEmpty()
                               ? QSslSocket::VerifyPeer
                               : QSslSocket::VerifyNone);
    m_ssl->setSslConfiguration(conf);
    m_ssl->setPeerVerifyName(settings.peerName);
    m_tls = settings;
    m_tlsRefusal.clear();
    m_tlsPending = true;
    connect(m_ssl, &QSslSocket::sslErrors, this, &WinSck::OnSslErrors, Qt::UniqueConnection);
    connect(m_ssl, &QSslSocket::encrypted, this, &WinSck::OnEncrypted, Qt::UniqueConnection);
    m_ssl->startClientEncryption();
}

// Moves the open connection from its QTcpSocket to a QSslSocket: the new
// socket takes a duplicate of the descriptor, and closing the old one then
// leaves the connection itself alone. Everything read has been taken out of
// the old socket; what it still had to write goes out first.
bool WinSck::HandOverToTls() {
    FlushOutbox();
    // Writes what the kernel takes now; the rest would be lost.
    m_tcp->flush();
    if (m_tcp->bytesToWrite() > 0) {
        EndWithTlsFailure(QStringLiteral("data for the server was still unsent when TLS was "
                                         "to start"));
        return false;
    }
    const int copy = ::fcntl(int(m_tcp->socketDescriptor()), F_DUPFD_CLOEXEC, 0);
    if (copy < 0) {
        EndWithTlsFailure(QStringLiteral("the connection could not be handed over to TLS: ") +
                          QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    auto *ssl = new QSslSocket(this);
    ssl->setProxy(QNetworkProxy::NoProxy);
    ssl->setReadBufferSize(MaxHeldBytes);
    if (!ssl->setSocketDescriptor(copy, QAbstractSocket::ConnectedState)) {
        const QString why = ssl->errorString();
        ::close(copy);
        delete ssl;
        EndWithTlsFailure(QStringLiteral("the connection could not be handed over to TLS: ") + why);
        return false;
    }
    QTcpSocket *plain = std::exchange(m_tcp, nullptr);
    plain->disconnect(this);
    plain->abort();
    plain->deleteLater();
    Attach(ssl);
    m_ssl = ssl;
    connect(m_ssl, &QSslSocket::encryptedBytesWritten, this, &WinSck::OnEncryptedBytesWritten);
    return true;
}

void WinSck::OnSslErrors(const QList<QSslError> &errors) {
    if (m_ended || !m_tlsPending)
        return;
    if (!m_tls.fingerprint.isEmpty()) {
        const QByteArray digest = m_ssl->peerCertificate().digest(QCryptographicHash::Sha256);
        if (digest == m_tls.fingerprint)
            m_ssl->ignoreSslErrors();
        else
            m_tlsRefusal = sendmail::FingerprintMismatchText(m_tls.fingerprint, digest);
        return;
    }
    if (!m_tls.verify) {
        m_ssl->ignoreSslErrors();
        return;
    }
    // The name is judged by our own rules, here and in OnEncrypted.
    QList<QSslError> chainErrors;
    for (const QSslError &e : errors)
        if (e.error() != QSslError::HostNameMismatch)
            chainErrors << e;
    // With a CA file the handshake trusted that file alone; a chain it does
    // not vouch for may still be one the system trusts.
    if (!m_tls.caFile.isEmpty() && sendmail::OnlyTrustErrors(chainErrors) &&
        QSslCertificate::verify(m_ssl->peerCertificateChain()).isEmpty())
        chainErrors.clear();
    QStringList reasons;
    if (!chainErrors.isEmpty())
        reasons << sendmail::DescribeCertificateErrors(chainErrors, m_tls.peerName);
    if (const QString name =
            sendmail::CertificateNameProblem(m_ssl->peerCertificate(), m_tls.peerName);
        !name.isEmpty())
        reasons << name;
    if (reasons.isEmpty())
        m_ssl->ignoreSslErrors();
    else
        m_tlsRefusal = reasons.join(QStringLiteral("; "));
}

void WinSck::OnEncrypted() {
    if (m_ended || !m_tlsPending)
        return;
    if (!m_tls.fingerprint.isEmpty()) {
        // A chain that verifies is still not the pinned certificate.
        const QByteArray digest = m_ssl->peerCertificate().digest(QCryptographicHash::Sha256);
        if (digest != m_tls.fingerprint) {
            EndWithTlsFailure(sendmail::FingerprintMismatchText(m_tls.fingerprint, digest));
            return;
        }
    } else if (m_tls.verify) {
        // Qt's own check also takes the common name, and a DNS entry that
        // spells an address; ours does not.
        const QString name =
            sendmail::CertificateNameProblem(m_ssl->peerCertificate(), m_tls.peerName);
        if (!name.isEmpty()) {
            EndWithTlsFailure(name);
            return;
        }
    }
    m_tlsPending = false;
    Deliver([this] { emit TlsReady(); });
}

void WinSck::EndWithTlsFailure(const QString &reason) {
    m_tlsPending = false;
    m_ended = true;
    m_inbox.clear();
    Deliver([this, reason] {
        m_state = sckError;
        emit TlsFailed(reason);
    });
}

bool WinSck::IsEncrypted() const {
    return m_ssl && !m_ended && m_ssl->isEncrypted();
}

QString WinSck::TlsDescription() const {
    if (!m_ssl)
        return {};
    const QSslCipher cipher = m_ssl->sessionCipher();
    return cipher.protocolString() + QStringLiteral(", ") + cipher.name();
}

QSslCertificate WinSck::PeerCertificate() const {
    return m_ssl ? m_ssl->peerCertificate() : QSslCertificate();
}

QHostAddress WinSck::PeerAddress() const {
    return m_tcp ? m_tcp->peerAddress() : QHostAddress();
}

// ---------------------------------------------------------------------------
// frmSck

namespace {
frmSck *g_host = nullptr;

void DestroyHost() {
    delete g_host;
    g_host = nullptr;
}
} // namespace

frmSck &frmSck::instance() {
    if (!g_host) {
        g_host = new frmSck;
        // Sockets must go while the event dispatcher they registered with
        // still exists; post routines run at the start of the application
        // object's destruction.
        qAddPostRoutine(DestroyHost);
    }
    return *g_host;
}

WinSck *frmSck::NewSocket() {
    return new WinSck(this);
}
