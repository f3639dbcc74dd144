#include "net/socket.h"
#include "wait/msg_wait.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QPointer>
#include <QProcess>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "private_network.h"

#include <chrono>
#include <functional>
#include <ostream>
#include <thread>

inline void PrintTo(const QString &s, std::ostream *os) {
    *os << '"' << s.toStdString() << '"';
}

namespace {

// Dispatches events in 25 ms slices until `done` holds or 5 s have passed.
bool WaitFor(const std::function<bool()> &done) {
    QDeadlineTimer deadline(5000);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        mdlMsgWaitObj::MessagePumpWait(25, 0, 0);
    }
    return true;
}

void SleepWithoutDispatching() {
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
}

// Records every signal of one socket as "<what>@<State() at that moment>".
struct Log {
    QStringList events;
    QByteArray data; // what GetData returned, in the DataArrival handlers
    qint64 sent = 0, remaining = -1;
    bool inside = false; // a WinSck method is running
    int emittedInside = 0;
    WinSck *sock = nullptr;

    void Attach(WinSck *s) {
        sock = s;
        auto note = [this](const QString &what) {
            emittedInside += inside;
            events << what + "@" + QString::number(sock->State());
        };
        QObject::connect(s, &WinSck::ConnectEvent, [note] { note("connect"); });
        QObject::connect(s, &WinSck::CloseEvent, [note] { note("close"); });
        QObject::connect(s, &WinSck::Error,
                         [note](int n, const QString &) { note("error " + QString::number(n)); });
        QObject::connect(s, &WinSck::DataArrival, [this, note](qint64 total) {
            note("data");
            QString text;
            sock->GetData(text);
            EXPECT_EQ(text.size(), total);
            data += text.toLatin1();
        });
        QObject::connect(s, &WinSck::SendProgress, [this, note](qint64 n, qint64 left) {
            if (events.isEmpty() || events.last() != "progress@7")
                note("progress");
            sent += n;
            remaining = left;
        });
    }
    void Call(const std::function<void()> &f) {
        inside = true;
        f();
        inside = false;
    }
    bool Saw(const QString &event) const { return events.contains(event); }
};

// The far end: a loopback server with its one accepted connection.
struct Peer {
    QTcpServer server;
    QTcpSocket *conn = nullptr;
    QByteArray got;
    Peer() { EXPECT_TRUE(server.listen(QHostAddress::LocalHost, 0)); }
    bool Accept() {
        return WaitFor([this] {
            if (!conn && server.hasPendingConnections())
                conn = server.nextPendingConnection();
            return conn != nullptr;
        });
    }
    bool ReadAtLeast(qsizetype n) {
        return WaitFor([&] {
            got += conn->readAll();
            return got.size() >= n;
        });
    }
    void Send(const QByteArray &bytes) {
        conn->write(bytes);
        conn->flush();
    }
};

void Start(WinSck &sock, Log &log, const QString &host, int port) {
    sock.setRemoteHost(host);
    sock.setRemotePort(port);
    log.Call([&] { sock.Connect(); });
}

void ConnectTo(WinSck &sock, Log &log, Peer &peer) {
    Start(sock, log, "127.0.0.1", peer.server.serverPort());
    ASSERT_TRUE(WaitFor([&] { return log.Saw("connect@7"); }));
    ASSERT_TRUE(peer.Accept());
}

int FreePort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

} // namespace

TEST(WinSckErrors, QtErrorsMapOntoClassicNumbers) {
    using E = QAbstractSocket::SocketError;
    const struct {
        E error;
        const char *qtText;
        int number;
    } cases[] = {
        {E::ConnectionRefusedError, "Connection refused", 10061},
        {E::HostNotFoundError, "Host not found", 11001},
        {E::NetworkError, "Host unreachable", 10065},
        {E::NetworkError, "No route to host", 10065},
        {E::NetworkError, "Network unreachable", 10051},
        {E::NetworkError, "Connection timed out", 10060},
        {E::NetworkError, "Something new", 10050},
        {E::SocketTimeoutError, "", 10060},
        {E::RemoteHostClosedError, "The remote host closed the connection", 10054},
        {E::SocketAccessError, "Permission denied", 10013},
        {E::UnknownSocketError, "Weird", 10107},
    };
    for (const auto &c : cases) {
        const auto info = WinSck::DescribeError(c.error, c.qtText);
        EXPECT_EQ(info.Number, c.number) << c.qtText;
        EXPECT_FALSE(info.Description.isEmpty()) << c.qtText;
    }
    EXPECT_EQ(WinSck::DescribeError(E::UnknownSocketError, "Weird").Description, "Weird");
    EXPECT_EQ(WinSck::DescribeError(E::NetworkError, "Host unreachable").Description,
              "Host unreachable");
}

TEST(WinSck, FailedConnectsEndInOneQueuedErrorNeverAConnect) {
    const struct {
        QString host;
        int port;
        QString expected;
    } cases[] = {
        {"127.0.0.1", FreePort(), "error 10061@9"},
        {"localhost", FreePort(), "error 10061@9"},
        {"", 25, "error 11001@9"}, // fails in the lookup, without asking a name server
        {"127.0.0.1", 0, "error 10049@9"},
        {"127.0.0.1", 65536, "error 10049@9"},
    };
    for (const auto &c : cases) {
        WinSck sock;
        Log log;
        log.Attach(&sock);
        Start(sock, log, c.host, c.port);
        EXPECT_EQ(sock.State(), WinSck::sckResolvingHost) << c.host.toStdString();
        EXPECT_TRUE(log.events.isEmpty());
        ASSERT_TRUE(WaitFor([&] { return !log.events.isEmpty(); })) << c.host.toStdString();
        mdlMsgWaitObj::MessagePumpWait(100, 0, 0);
        EXPECT_EQ(log.events, QStringList{c.expected}) << c.host.toStdString();
        log.Call([&] { sock.Close(); });
        EXPECT_EQ(sock.State(), WinSck::sckClosed);
        EXPECT_EQ(log.emittedInside, 0);
    }
}

TEST(WinSck, UnreachableHostAndNetworkInPrivateNamespace) {
    if (!qEnvironmentVariableIsSet("KELM_SCK_IN_NETNS")) {
        // Re-run just this case inside a fresh network namespace, where
        // nothing can leave the machine.
        QProcess child;
        auto env = QProcessEnvironment::systemEnvironment();
        env.insert("KELM_SCK_IN_NETNS", "1");
        child.setProcessEnvironment(env);
        child.setProcessChannelMode(QProcess::MergedChannels);
        child.start("unshare",
                    {"-n", "--", QCoreApplication::applicationFilePath(),
                     "--gtest_filter=WinSck.UnreachableHostAndNetworkInPrivateNamespace"});
        ASSERT_TRUE(child.waitForFinished(60000));
        const QString out = QString::fromLocal8Bit(child.readAll());
        if (out.startsWith("unshare:"))
            GTEST_SKIP() << "no private network namespace: " << out.toStdString();
        EXPECT_EQ(child.exitCode(), 0) << out.toStdString();
        EXPECT_TRUE(out.contains("[  PASSED  ] 1 test")) << out.toStdString();
        return;
    }
    ASSERT_EQ(QProcess::execute("ip", {"route", "add", "unreachable", "10.99.0.0/16"}), 0);
    const struct {
        const char *host;
        const char *expected;
    } cases[] = {{"10.99.0.1", "error 10065@9"}, {"10.1.2.3", "error 10051@9"}};
    for (const auto &c : cases) {
        WinSck sock;
        Log log;
        log.Attach(&sock);
        Start(sock, log, c.host, 25);
        ASSERT_TRUE(WaitFor([&] { return !log.events.isEmpty(); })) << c.host;
        EXPECT_EQ(log.events, QStringList{c.expected}) << c.host;
        EXPECT_EQ(log.emittedInside, 0);
    }
}

TEST(WinSck, SendsArriveInOrderExactlyAndProgressAddsUp) {
    WinSck sock;
    Log log;
    log.Attach(&sock);
    Peer peer;
    ConnectTo(sock, log, peer);

    const QString text = QString::fromUtf8("MAIL é\u20ac\r\n"); // € is not Latin-1
    const QByteArray bytes("\x00\xff\x80\x01", 4);
    QByteArray bulk(3 * 1024 * 1024 + 17, '\0');
    for (qsizetype i = 0; i < bulk.size(); ++i)
        bulk[i] = char(i * 7);
    log.Call([&] {
        sock.SendData(text);
        sock.SendData(bytes);
        sock.SendData(bulk);
    });
    EXPECT_GT(sock.BytesQueued(), 0);

    const QByteArray expected = QByteArray("MAIL \xe9?\r\n") + bytes + bulk;
    ASSERT_TRUE(peer.ReadAtLeast(expected.size()));
    EXPECT_TRUE(peer.got == expected);
    ASSERT_TRUE(WaitFor([&] { return log.sent == expected.size(); }));
    EXPECT_EQ(log.remaining, 0);
    EXPECT_EQ(sock.BytesQueued(), 0);
    EXPECT_EQ(log.emittedInside, 0);
    EXPECT_EQ(sock.findChild<QTcpSocket *>()->socketOption(QAbstractSocket::LowDelayOption), 1);
}

TEST(WinSck, EventsWaitForDispatchAndDataKeepsItsByteValues) {
    WinSck sock;
    Log log;
    log.Attach(&sock);
    Peer peer;
    ConnectTo(sock, log, peer);

    QByteArray all(256, '\0');
    for (int i = 0; i < 256; ++i)
        all[i] = char(i);
    peer.Send(all);
    log.Call([&] { sock.SendData(QByteArray("x")); });
    SleepWithoutDispatching();
    EXPECT_EQ(log.events, QStringList{"connect@7"});

    ASSERT_TRUE(WaitFor([&] { return log.data.size() == 256 && log.Saw("progress@7"); }));
    EXPECT_TRUE(log.data == all);
    EXPECT_TRUE(log.Saw("data@7"));
}

TEST(WinSck, PeerCloseDeliversTheLastDataFirstThenCloseEvent) {
    WinSck sock;
    Log log;
    log.Attach(&sock);
    Peer peer;
    ConnectTo(sock, log, peer);

    peer.Send("221 bye\r\n");
    peer.conn->disconnectFromHost();
    SleepWithoutDispatching(); // the data and the close are pending together
    ASSERT_TRUE(WaitFor([&] { return log.Saw("close@0"); }));
    log.events.removeAll("progress@7");
    EXPECT_EQ(log.events, (QStringList{"connect@7", "data@7", "close@0"}));
    EXPECT_EQ(log.data, "221 bye\r\n");
    log.Call([&] { sock.SendData(QString("QUIT\r\n")); });
    EXPECT_EQ(sock.BytesQueued(), 0);
}

// A peer that sends far more than the listener reads: the socket holds a
// bounded amount at a time, and all of it arrives, in order, before the close.
TEST(WinSck, FloodArrivesWholeInBoundedPiecesBeforeTheClose) {
    WinSck sock;
    Log log;
    log.Attach(&sock);
    QList<qint64> pieces;
    QObject::connect(&sock, &WinSck::DataArrival, [&pieces](qint64 total) { pieces << total; });
    Peer peer;
    ConnectTo(sock, log, peer);

    QByteArray flood(6 * 1024 * 1024, '\0');
    for (qsizetype i = 0; i < flood.size(); ++i)
        flood[i] = char(i * 13 + i / 4096);
    peer.Send(flood);
    peer.conn->disconnectFromHost();
    SleepWithoutDispatching();
    ASSERT_TRUE(WaitFor([&] { return log.Saw("close@0"); }));
    EXPECT_TRUE(log.data == flood) << log.data.size();
    ASSERT_FALSE(pieces.isEmpty());
    // The last piece may also carry what Qt held when the peer closed.
    EXPECT_LE(pieces.last(), 2 * WinSck::MaxHeldBytes);
    pieces.removeLast();
    for (qint64 piece : pieces)
        EXPECT_LE(piece, WinSck::MaxHeldBytes);
}

// Close (or a new Connect) while an event of the old connection is already
// queued: that event must never reach the listener.
TEST(WinSck, NothingQueuedBeforeCloseOrReconnectIsDeliveredAfter) {
    enum Trigger { PeerWrites, PeerCloses, Refused };
    const struct {
        Trigger trigger;
        bool reconnect; // Connect to a fresh peer instead of Close
    } cases[] = {{PeerWrites, false},
                 {PeerCloses, false},
                 {Refused, false},
                 {PeerWrites, true},
                 {Refused, true}};
    for (const auto &c : cases) {
        SCOPED_TRACE(int(c.trigger) * 10 + c.reconnect);
        WinSck sock;
        Log log;
        log.Attach(&sock);
        Peer peer, fresh;
        if (c.trigger == Refused)
            Start(sock, log, "127.0.0.1", FreePort());
        else
            ConnectTo(sock, log, peer);

        // Acts on the first queued delivery of the socket, before it runs.
        struct Interceptor : QObject {
            std::function<void()> act;
            bool eventFilter(QObject *, QEvent *e) override {
                if (e->type() == QEvent::MetaCall && act)
                    std::exchange(act, nullptr)();
                return false;
            }
        } interceptor;
        interceptor.act = [&] {
            if (c.reconnect)
                Start(sock, log, "127.0.0.1", fresh.server.serverPort());
            else
                log.Call([&] { sock.Close(); });
        };
        sock.installEventFilter(&interceptor);
        const QStringList before = log.events;
        if (c.trigger == PeerWrites)
            peer.Send("late");
        if (c.trigger == PeerCloses)
            peer.conn->disconnectFromHost();
        ASSERT_TRUE(WaitFor([&] { return !interceptor.act; }));
        mdlMsgWaitObj::MessagePumpWait(200, 0, 0);
        if (c.reconnect) {
            EXPECT_EQ(log.events, before + QStringList{"connect@7"});
        } else {
            EXPECT_EQ(log.events, before);
            EXPECT_EQ(sock.State(), WinSck::sckClosed);
        }
        QString rest;
        sock.GetData(rest);
        EXPECT_TRUE(rest.isEmpty());
    }
}

TEST(WinSck, TwoSocketsNeverSeeEachOthersData) {
    QPointer<WinSck> a = frmSck::instance().NewSocket(), b = frmSck::instance().NewSocket();
    EXPECT_EQ(a->parent(), &frmSck::instance());
    Log logA, logB;
    logA.Attach(a);
    logB.Attach(b);
    Peer peerA, peerB;
    ConnectTo(*a, logA, peerA);
    ConnectTo(*b, logB, peerB);

    a->SendData(QString("from a"));
    b->SendData(QString("from b"));
    peerA.Send("to a");
    peerB.Send("to b");
    ASSERT_TRUE(peerA.ReadAtLeast(6) && peerB.ReadAtLeast(6));
    ASSERT_TRUE(WaitFor([&] { return logA.data.size() >= 4 && logB.data.size() >= 4; }));
    mdlMsgWaitObj::MessagePumpWait(100, 0, 0);
    EXPECT_EQ(peerA.got, "from a");
    EXPECT_EQ(peerB.got, "from b");
    EXPECT_EQ(logA.data, "to a");
    EXPECT_EQ(logB.data, "to b");

    // A user may delete its socket from inside one of its handlers.
    QObject::connect(a, &WinSck::DataArrival, a, [a] { delete a.data(); });
    peerA.Send("bye");
    peerA.conn->disconnectFromHost();
    ASSERT_TRUE(WaitFor([&] { return a.isNull(); }));
    mdlMsgWaitObj::MessagePumpWait(100, 0, 0);
    delete b.data();
}

TEST(WinSck, AttemptOrderTakesTurnsBeginningWithIPv6) {
    auto addresses = [](const QStringList &texts) {
        QList<QHostAddress> list;
        for (const QString &t : texts)
            list << QHostAddress(t);
        return list;
    };
    const struct {
        QStringList given, tried;
    } cases[] = {
        {{"192.0.2.1", "192.0.2.2", "2001:db8::1"}, {"2001:db8::1", "192.0.2.1", "192.0.2.2"}},
        {{"2001:db8::1", "2001:db8::2", "192.0.2.1"}, {"2001:db8::1", "192.0.2.1", "2001:db8::2"}},
        {{"192.0.2.1", "192.0.2.1", "::1", "::1"}, {"::1", "192.0.2.1"}},
        {{"192.0.2.2", "192.0.2.1"}, {"192.0.2.2", "192.0.2.1"}},
        {{}, {}},
    };
    for (const auto &c : cases)
        EXPECT_EQ(WinSck::AttemptOrder(addresses(c.given)), addresses(c.tried))
            << c.given.join(' ').toStdString();
}

TEST(WinSck, ConnectsToAnIPv6AddressBareOrInBrackets) {
    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHostIPv6, 0))
        GTEST_SKIP() << "no IPv6 loopback here: " << server.errorString().toStdString();
    for (const QString host : {"::1", "[::1]", "0:0::1"}) {
        WinSck sock;
        Log log;
        log.Attach(&sock);
        Start(sock, log, host, server.serverPort());
        ASSERT_TRUE(WaitFor([&] { return !log.events.isEmpty(); })) << host.toStdString();
        EXPECT_EQ(log.events, QStringList{"connect@7"}) << host.toStdString();
        EXPECT_EQ(sock.RemoteHost(), host) << "kept as given, for the error texts";
    }
}

// A name with the addresses ::1 and 127.0.0.1 (a private hosts file), and
// on one port a listener, a dead listener or nothing for each of them.
TEST(WinSck, DualStackNamesRaceTheirAddresses) {
    if (!testsupport::InPrivateNetwork()) {
        testsupport::RunInPrivateNetwork({.hosts = "::1 both.test\n127.0.0.1 both.test\n"});
        return;
    }
    enum Peer6 { Listens6, Dead6, Nothing6 };
    const struct {
        const char *name;
        Peer6 v6;
        bool v4Listens;
        QStringList events;
        const char *winner; // whose listener got the connection
        int atLeastMs;      // the race's delay, where it has to run out first
    } cases[] = {
        {"IPv6 answers: IPv4 is never needed", Listens6, true, {"connect@7"}, "v6", 0},
        {"IPv6 silent: IPv4 after the delay", Dead6, true, {"connect@7"}, "v4", 200},
        {"IPv6 refused: IPv4 at once", Nothing6, true, {"connect@7"}, "v4", 0},
        {"both refused: one error", Nothing6, false, {"error 10061@9"}, "", 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        QTcpServer v4, v6;
        ASSERT_TRUE(v4.listen(QHostAddress::LocalHost, 0));
        const quint16 port = v4.serverPort();
        if (!c.v4Listens)
            v4.close();
        std::optional<testsupport::DeadListener> dead;
        if (c.v6 == Listens6) {
            ASSERT_TRUE(v6.listen(QHostAddress::LocalHostIPv6, port));
        } else if (c.v6 == Dead6) {
            ASSERT_TRUE(dead.emplace(port).ok());
        }

        WinSck sock;
        Log log;
        log.Attach(&sock);
        QElapsedTimer t;
        t.start();
        Start(sock, log, "both.test", port);
        ASSERT_TRUE(WaitFor([&] { return !log.events.isEmpty(); }));
        const qint64 ms = t.elapsed();
        mdlMsgWaitObj::MessagePumpWait(300, 0, 0); // nothing else may follow
        EXPECT_EQ(log.events, c.events);
        EXPECT_GE(ms, c.atLeastMs);
        EXPECT_EQ(v6.hasPendingConnections(), QString(c.winner) == "v6");
        EXPECT_EQ(v4.hasPendingConnections(), QString(c.winner) == "v4");
        EXPECT_EQ(log.emittedInside, 0);
    }

    // Close in the middle of a race ends it without a word: the IPv4
    // listener would be connected to if the delay still ran out.
    QTcpServer v4;
    ASSERT_TRUE(v4.listen(QHostAddress::LocalHost, 0));
    testsupport::DeadListener dead(v4.serverPort());
    ASSERT_TRUE(dead.ok());
    WinSck sock;
    Log log;
    log.Attach(&sock);
    Start(sock, log, "both.test", v4.serverPort());
    mdlMsgWaitObj::MessagePumpWait(100, 0, 0);
    EXPECT_EQ(sock.State(), WinSck::sckConnecting);
    log.Call([&] { sock.Close(); });
    mdlMsgWaitObj::MessagePumpWait(600, 0, 0);
    EXPECT_TRUE(log.events.isEmpty()) << log.events.join(' ').toStdString();
    EXPECT_EQ(sock.State(), WinSck::sckClosed);
    EXPECT_FALSE(v4.hasPendingConnections());
}

namespace {

// A loopback server that talks in clear until told to start TLS with a
// certificate of make_certificate.py's making, as a STARTTLS server does.
class TlsPeer : public QTcpServer {
public:
    QSslSocket *conn = nullptr;
    QByteArray got;
    bool Accept() {
        return WaitFor([this] { return conn != nullptr; });
    }
    bool ReadLine() {
        return WaitFor([this] {
            got += conn->readAll();
            return got.endsWith('\n');
        });
    }

protected:
    void incomingConnection(qintptr descriptor) override {
        conn = new QSslSocket(this);
        conn->setSocketDescriptor(descriptor);
    }
};

} // namespace

TEST(WinSck, StartTlsTakesOverTheConnectionAndJudgesNamesByAltNamesOnly) {
    QTemporaryDir dir;
    const struct {
        const char *alt;     // make_certificate.py's ALT_NAMES for "127.0.0.1"
        const char *host;    // the name the certificate must carry
        const char *refusal; // empty: TlsReady
    } rows[] = {
        {"ip:127.0.0.1", "127.0.0.1", ""},
        {"dns:localhost", "localhost", ""},
        {"dns:127.0.0.1", "127.0.0.1", "lists the address as a DNS name"},
        {"none", "127.0.0.1", "only in its common name"},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.alt);
        const QString pem = dir.filePath(QString::number(qHash(QByteArray(r.alt))) + ".pem");
        QProcess make;
        make.start("/usr/bin/python3",
                   {qEnvironmentVariable("KELM_SOURCE_DIR") + "/tests/support/make_certificate.py",
                    pem, "127.0.0.1", "-1", "30", r.alt});
        ASSERT_TRUE(make.waitForFinished(30000) && make.exitCode() == 0);
        QFile keyFile(pem.chopped(4) + ".key");
        ASSERT_TRUE(keyFile.open(QIODevice::ReadOnly));
        const QSslKey key(&keyFile, QSsl::Ec);

        TlsPeer peer;
        ASSERT_TRUE(peer.listen(QHostAddress::LocalHost, 0));
        WinSck sock;
        Log log;
        log.Attach(&sock);
        Start(sock, log, "127.0.0.1", peer.serverPort());
        ASSERT_TRUE(WaitFor([&] { return log.Saw("connect@7"); }));
        ASSERT_TRUE(peer.Accept());
        // The clear-text part: the command that asks for TLS, and the consent.
        sock.SendData(QByteArray("STARTTLS\r\n"));
        ASSERT_TRUE(peer.ReadLine());
        EXPECT_EQ(peer.got, "STARTTLS\r\n");
        peer.conn->write("220 go ahead\r\n");
        ASSERT_TRUE(WaitFor([&] { return log.data == "220 go ahead\r\n"; }));

        QString failure;
        bool ready = false;
        QObject::connect(&sock, &WinSck::TlsFailed, [&](const QString &why) { failure = why; });
        QObject::connect(&sock, &WinSck::TlsReady, [&] { ready = true; });
        peer.conn->setLocalCertificate(QSslCertificate::fromPath(pem).value(0));
        peer.conn->setPrivateKey(key);
        peer.conn->startServerEncryption();
        WinSck::TlsSettings tls;
        tls.peerName = r.host;
        tls.caFile = pem;
        sock.StartTls(tls);
        ASSERT_TRUE(WaitFor([&] { return ready || !failure.isEmpty(); }));
        if (*r.refusal) {
            EXPECT_TRUE(failure.contains(r.refusal)) << failure.toStdString();
            EXPECT_EQ(sock.State(), WinSck::sckError);
            continue;
        }
        EXPECT_EQ(failure, "");
        EXPECT_TRUE(sock.IsEncrypted());
        // The same connection, now encrypted both ways.
        peer.got.clear();
        sock.SendData(QByteArray("EHLO me\r\n"));
        ASSERT_TRUE(peer.ReadLine());
        EXPECT_EQ(peer.got, "EHLO me\r\n");
        EXPECT_TRUE(peer.conn->isEncrypted());
        log.data.clear();
        peer.conn->write("250 ok\r\n");
        ASSERT_TRUE(WaitFor([&] { return log.data == "250 ok\r\n"; }));
        EXPECT_EQ(sock.PeerAddress(), QHostAddress(QHostAddress::LocalHost));
    }
}
