// Runs one test of the current executable again inside a private mount and
// network namespace (unshare -m -n, root), where only the loopback interface
// exists, nothing can leave the machine, and /etc/hosts and
// /etc/resolv.conf are the test's own (bind-mounted over the machine's).
//
//   TEST(Suite, Case) {
//       if (!testsupport::InPrivateNetwork()) {
//           testsupport::RunInPrivateNetwork({"2001:db8::25 v6only.test\n"});
//           return;
//       }
//       ... the test itself, run in the namespace ...
//   }
//
// The outer run passes or fails with the inner one, and skips (with the
// reason) where namespaces, loopback IPv6 or the bind mounts are not
// available. DeadListener, below, makes an IPv6 address that never answers.
#pragma once

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testsupport {

inline constexpr const char *kPrivateNetworkChild = "KELM_PRIVATE_NETWORK_CHILD";

struct PrivateNetwork {
    // Lines of /etc/hosts after "127.0.0.1 localhost".
    QString hosts = {};
    // /etc/resolv.conf: by default a name server on loopback where nothing
    // listens, so a name the hosts file lacks fails at once.
    QString resolvConf = QStringLiteral("nameserver 127.0.0.1\n");
    // Further addresses for the loopback interface ("2001:db8::25/128").
    QStringList addresses = {};
};

inline bool InPrivateNetwork() {
    return qEnvironmentVariableIsSet(kPrivateNetworkChild);
}

inline void RunInPrivateNetwork(const PrivateNetwork &net) {
    QProcess probe;
    probe.start(QStringLiteral("unshare"), {"-m", "-n", "true"});
    if (!probe.waitForFinished(10000) || probe.exitStatus() != QProcess::NormalExit ||
        probe.exitCode() != 0) {
        probe.kill();
        GTEST_SKIP() << "unshare -m -n is not permitted here: "
                     << probe.readAllStandardError().toStdString();
    }
    QTemporaryDir dir;
    const QString hosts = dir.filePath("hosts"), resolv = dir.filePath("resolv.conf");
    QFile h(hosts), r(resolv);
    ASSERT_TRUE(h.open(QIODevice::WriteOnly) && r.open(QIODevice::WriteOnly));
    h.write("127.0.0.1 localhost\n" + net.hosts.toLatin1());
    r.write(net.resolvConf.toLatin1());
    h.close();
    r.close();

    // ::1 must be there once lo is up: "ip -6 addr show lo" names it.
    QString setup = "ip link set lo up && ip -6 addr show dev lo | grep -q ' ::1/128'";
    for (const QString &a : net.addresses) {
        setup += " && ip addr add " + a + " dev lo";
    }
    setup += " && mount --bind '" + hosts + "' /etc/hosts && mount --bind '" + resolv +
             "' /etc/resolv.conf";
    const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
    const QString filter =
        QString::fromLatin1(info->test_suite_name()) + "." + QString::fromLatin1(info->name());

    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QString::fromLatin1(kPrivateNetworkChild), "1");
    env.insert("PATH", env.value("PATH") + ":/usr/sbin:/sbin");
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::MergedChannels);
    const QString script = "{ " + setup +
                           "; } >/dev/null 2>&1 || { echo PRIVATE-NETWORK-SETUP-FAILED; exit 77; "
                           "}; exec \"$0\" \"$@\"";
    child.start("unshare", {"-m", "-n", "--propagation", "private", "/bin/sh", "-c", script,
                            QCoreApplication::applicationFilePath(), "--gtest_filter=" + filter});
    const bool finished = child.waitForFinished(120000);
    if (!finished) {
        child.kill();
        child.waitForFinished(5000);
    }
    const QString output = QString::fromLocal8Bit(child.readAll());
    ASSERT_TRUE(finished) << filter.toStdString() << " did not end in time\n"
                          << output.toStdString();
    if (child.exitCode() == 77 && output.contains("PRIVATE-NETWORK-SETUP-FAILED")) {
        GTEST_SKIP() << "cannot prepare the private network: " << setup.toStdString();
    }
    EXPECT_EQ(child.exitCode(), 0) << output.toStdString();
    EXPECT_TRUE(output.contains("[  PASSED  ] 1 test.") && !output.contains("[  SKIPPED ]"))
        << output.toStdString();
}

// A listener on [::1]:port that never answers a connect: its accept queue
// (backlog 0) is held full by one connection nobody accepts, so the kernel
// drops every further SYN and a client waits in vain.
class DeadListener {
public:
    explicit DeadListener(quint16 port) : port_(port) {
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        a.sin6_port = htons(port);
        a.sin6_addr = in6addr_loopback;
        const auto *sa = reinterpret_cast<const sockaddr *>(&a);
        listener_ = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
        filler_ = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
        probe_ = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        ok_ = bind(listener_, sa, sizeof a) == 0 && listen(listener_, 0) == 0 &&
              connect(filler_, sa, sizeof a) == 0;
        // Proof that it is dead: a further connect is still pending later.
        if (ok_ && connect(probe_, sa, sizeof a) != 0 && errno == EINPROGRESS) {
            pollfd p{probe_, POLLOUT, 0};
            ok_ = poll(&p, 1, 500) == 0;
        } else {
            ok_ = false;
        }
    }
    ~DeadListener() {
        for (int fd : {probe_, filler_, listener_})
            close(fd);
    }
    bool ok() const { return ok_; }
    quint16 port() const { return port_; }

private:
    quint16 port_;
    int listener_ = -1, filler_ = -1, probe_ = -1;
    bool ok_ = false;
};

} // namespace testsupport
