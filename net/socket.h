// The asynchronous TCP client that the mail component converses through, and
// the hidden host object that owns such clients.
//
// WinSck wraps a TCP socket behind a small, event-driven interface: numbered
// states, Connect/Close/SendData/GetData that all return at once, and five
// signals for connect, close, arrived data, errors and send progress.
//
// Every signal is delivered through the event queue of the thread that owns
// the object, never from inside one of its methods. The component sends a
// command and then dispatches events in short slices until a handler has set
// the flag it waits for; it depends on handlers running only at those points.
// State() follows the same queue: it changes to 7 when ConnectEvent is
// delivered, to 0 when CloseEvent is delivered and to 9 when Error is
// delivered, so data that arrived before a close is still seen in state 7.
//
// A host name is looked up for both address families. When it has IPv6 and
// IPv4 addresses, Connect races them as RFC 8305 (Happy Eyeballs version 2)
// describes: IPv6 first, the families taking turns, the next address tried
// when the previous one has not connected within 250 ms or at once when it
// has failed; the first connection wins and the others are dropped unseen.
// To the user all of this is one connect: one ConnectEvent, or one Error.
//
// StartTls turns the open connection into a TLS one (right after the
// connect for implicit TLS, after the server's consent for STARTTLS); its
// outcome is TlsReady or TlsFailed, through the same queue. A failed
// handshake ends the connection: nothing is ever sent in clear afterwards.
// Until then the connection is a plain QTcpSocket and nothing of TLS is
// loaded: StartTls hands the connected descriptor to a QSslSocket, which
// brings in the TLS library with it.
//
// SendData gathers what is handed to it during one pass of the event loop
// and writes it to the socket in one piece before the next pass, so that
// many small writes become a few large TCP segments or full TLS records.
#pragma once

#include <QAbstractSocket>
#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>

#include <QSslCertificate>
#include <QSslError>

#include <vector>

class QSslSocket;
class QTcpSocket;
class QTimer;

class WinSck : public QObject {
    Q_OBJECT
public:
    enum StateConstants {
        sckClosed = 0,
        sckOpen = 1,
        sckListening = 2,
        sckConnectionPending = 3,
        sckResolvingHost = 4,
        sckHostResolved = 5,
        sckConnecting = 6,
        sckConnected = 7,
        sckClosing = 8,
        sckError = 9
    };

    // Numbers carried by the Error signal. The mail component tells two of
    // them apart (host not found, host unreachable) to name the host in its
    // message; the others only need to be stable and distinct.
    enum ErrorConstants {
        sckPermissionDenied = 10013,
        sckWouldBlock = 10035,
        sckInProgress = 10036,
        sckMessageTooLong = 10040,
        sckOperationNotSupported = 10045,
        sckAddressInUse = 10048,
        sckAddressNotAvailable = 10049,
        sckNetworkDown = 10050,
        sckNetworkUnreachable = 10051,
        sckConnectionAborted = 10053,
        sckConnectionReset = 10054,
        sckOutOfBuffers = 10055,
        sckNotConnected = 10057,
        sckTimedOut = 10060,
        sckConnectionRefused = 10061,
        sckHostUnreachable = 10065,
        sckSocketError = 10107,
        sckHostNotFound = 11001
    };

    struct ErrorInfo {
        int Number = 0;
        QString Description;
    };

    // What StartTls checks of the server.
    struct TlsSettings {
        // The name the certificate must carry: the host connected to.
        QString peerName;
        // Verify the chain (the system's trust store plus caFile) and the
        // name. Off: any certificate is taken.
        bool verify = true;
        QString caFile;
        // The SHA-256 digest the certificate must have, whatever its chain;
        // empty for none.
        QByteArray fingerprint;
        // Bytes already received when the handshake starts: implicit TLS
        // refuses a server that talks first in clear text, STARTTLS drops
        // them (they came before the handshake and cannot be trusted).
        bool implicit = false;
    };

    // The number and plain-English description for a QAbstractSocket error.
    // `qtText` is the socket's errorString(): Qt reports unreachable hosts and
    // networks, and connect time-outs, all as NetworkError and names the
    // cause only in that text. An error without a table entry keeps Qt's
    // text (or "Unknown socket error" when that is empty) under 10107.
    static ErrorInfo DescribeError(QAbstractSocket::SocketError error, const QString &qtText);

    // The order in which Connect tries a host's addresses (RFC 8305 section
    // 4): IPv6 and IPv4 taking turns, IPv6 first, each family in the order
    // given; duplicates and addresses of other kinds left out.
    static QList<QHostAddress> AttemptOrder(const QList<QHostAddress> &addresses);

    explicit WinSck(QObject *parent = nullptr);
    ~WinSck() override;

    // How long an address may take to connect before the next one is tried
    // alongside it (RFC 8305 section 5, "Connection Attempt Delay").
    static constexpr int kConnectionAttemptDelayMs = 250;

    // Host name, dotted IPv4 address or IPv6 address (bare or in brackets),
    // and port, used by the next Connect.
    QString RemoteHost() const;
    void setRemoteHost(const QString &host);
    int RemotePort() const;
    void setRemotePort(int port);

    // One of StateConstants. 0 closed; 4 resolving the host name; 6
    // connecting; 7 connected; 8 the peer is closing (seen briefly before
    // CloseEvent); 9 after an Error event, until Close or Connect.
    int State() const;

    // Starts connecting to RemoteHost:RemotePort and returns at once with
    // State() 4; it turns 6 while the connect is under way. An address is
    // connected to as it is; a name is looked up (IPv4 and IPv6) and its
    // addresses raced as described above. Success arrives as ConnectEvent,
    // failure as Error: 11001 when the name has no address, otherwise the
    // error of the last address that failed. A connection that is open or
    // pending is dropped first, silently, as Close does. A port outside
    // 1..65535 fails with Error 10049.
    void Connect();

    // Drops the connection (or the connect under way, with its look-up and
    // every address being tried) and everything queued for it, in and out,
    // and returns with State() 0. No CloseEvent follows, and no event of the
    // dropped connection that is still queued reaches a listener.
    void Close();

    // Queues bytes for sending, in call order, and returns at once;
    // SendProgress reports follow as the bytes reach the kernel. A text goes
    // out as Latin-1, one byte per character, a character above U+00FF as
    // '?'. Outside State() 7 the data is discarded: there is no connection
    // it could belong to.
    void SendData(const QString &text);
    void SendData(const QByteArray &bytes);

    // Received data is held for the listener up to this many bytes; more
    // waits in the kernel, so a peer that sends without pause is slowed down
    // by TCP flow control instead of filling this process's memory.
    static constexpr qint64 MaxHeldBytes = 256 * 1024;

    // Replaces `data` by everything received and not yet read, one character
    // per byte (Latin-1), and empties the receive buffer. At most
    // MaxHeldBytes are held at a time (a little more once the peer has
    // closed); what the peer sent beyond them is taken in as this call makes
    // room, and another DataArrival follows for it.
    void GetData(QString &data);

    // Bytes handed to SendData and not yet written to the kernel (over
    // TLS, in their encrypted form once encrypted).
    qint64 BytesQueued() const;

    // Starts the TLS handshake on the open connection (State() 7). Outcome:
    // TlsReady, or TlsFailed with the reason in plain words, after which the
    // connection is closed (State() 9) and nothing more is sent.
    void StartTls(const TlsSettings &settings);
    // After TlsReady: the protocol and cipher ("TLSv1.3, TLS_AES_256_GCM_
    // SHA384") and the server's certificate.
    bool IsEncrypted() const;
    QString TlsDescription() const;
    QSslCertificate PeerCertificate() const;
    // The address of the open connection's peer (null when none).
    QHostAddress PeerAddress() const;

signals:
    // The TLS handshake has succeeded and the certificate was accepted.
    void TlsReady();
    // The TLS handshake failed or the certificate was refused.
    void TlsFailed(const QString &reason);
    // The connection is established; State() is 7.
    void ConnectEvent();
    // The peer closed the connection; State() is 0. Unread data stays
    // readable through GetData until the next Close or Connect.
    void CloseEvent();
    // Data has arrived; bytesTotal is what GetData would return now. Several
    // arrivals between two dispatches make one event.
    void DataArrival(qint64 bytesTotal);
    // The connect failed or the connection broke; State() is 9.
    void Error(int Number, const QString &Description);
    // bytesSent were written to the kernel since the previous report;
    // bytesRemaining are still queued (BytesQueued). Over TLS bytesSent
    // counts the bytes given to SendData as they are encrypted, and a report
    // with bytesSent 0 follows whenever the kernel takes encrypted data.
    void SendProgress(qint64 bytesSent, qint64 bytesRemaining);

private:
    template <typename Fn> void Deliver(Fn &&event);
    void DropConnection();
    void StartRace(const QList<QHostAddress> &addresses);
    void StartNextAttempt();
    void OnAttemptConnected(QTcpSocket *attempt);
    void OnAttemptFailed(QTcpSocket *attempt, QAbstractSocket::SocketError error);
    void DropAttempt(QTcpSocket *attempt);
    void Attach(QTcpSocket *connection);
    bool HandOverToTls();
    void FlushOutbox();
    void CollectIncoming(bool everything = false);
    void OnQtStateChanged(QAbstractSocket::SocketState state);
    void OnQtConnected();
    void OnQtReadyRead();
    void OnQtBytesWritten(qint64 bytes);
    void OnEncryptedBytesWritten();
    void OnQtError(QAbstractSocket::SocketError error);
    void OnQtDisconnected();
    void EndWithClose();
    void EndWithError(const ErrorInfo &info);
    void OnSslErrors(const QList<QSslError> &errors);
    void OnEncrypted();
    void EndWithTlsFailure(const QString &reason);

    QString m_remoteHost;
    int m_remotePort = 0;
    int m_state = sckClosed;
    // Bumped by Connect and Close; a queued event of an older value is stale.
    quint64 m_generation = 0;
    // The connection once established; nullptr while the connect runs.
    // m_ssl is the same object once StartTls has handed it over to TLS.
    QTcpSocket *m_tcp = nullptr;
    QSslSocket *m_ssl = nullptr;
    // What SendData gathered since the last write to m_tcp, and whether a
    // write of it is queued.
    QByteArray m_outbox;
    bool m_flushQueued = false;
    // While connecting: the pending host look-up (-1 when none), the
    // addresses in the order they are tried, the next one to start, the
    // attempts under way, the failure to report if none succeeds, and the
    // timer that starts the next attempt.
    int m_lookupId = -1;
    QList<QHostAddress> m_addresses;
    qsizetype m_nextAddress = 0;
    std::vector<QTcpSocket *> m_attempts;
    ErrorInfo m_lastFailure;
    QTimer *m_attemptDelay = nullptr;
    // The current connection has queued its last event (close or error);
    // whatever its Qt socket still signals is ignored.
    bool m_ended = false;
    QByteArray m_inbox;
    bool m_arrivalQueued = false;
    // A handshake is under way, what it checks, and the reason found while
    // judging the certificate (reported when Qt then fails the handshake).
    bool m_tlsPending = false;
    TlsSettings m_tls;
    QString m_tlsRefusal;
};

// The hidden host object: one per process, created on first use on the
// thread that owns the mail components. It owns the sockets it hands out
// and deletes the remaining ones when the application object is destroyed.
class frmSck : public QObject {
    Q_OBJECT
public:
    static frmSck &instance();

    // A new socket in state 0, owned by this object. Its user may delete it
    // earlier; hold it in a QPointer if the user can outlive the application
    // object.
    WinSck *NewSocket();

private:
    frmSck() = default;
};
