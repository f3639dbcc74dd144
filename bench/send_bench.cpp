// Benchmark driver: sends mail with clsSendMail to an SMTP server and prints
// how long each step took, for bench/run.sh.
//
//   send_bench HOST PORT small            one message with a 1 KiB body
//   send_bench HOST PORT session N        Connect, N messages, Disconnect
//   send_bench HOST PORT sends N          N messages, a connection each, sent
//                                         one after the other without
//                                         returning to an event loop between
//   send_bench HOST PORT attach FILE      one message with FILE attached
//   send_bench HOST PORT outcome          one message, whatever the server does:
//                                         prints the outcome, exits 0 (for
//                                         bench/hostile_replies.py)
//
// With KELM_BENCH_TLS_CA=FILE in the environment every mode asks for
// STARTTLS (TLSMode 2) and trusts the PEM certificates in FILE besides the
// system's; HOST must then be the name in the server's certificate.
// KELM_BENCH_USER and KELM_BENCH_PASSWORD turn authentication on, with
// KELM_BENCH_AUTH as AuthMechanism (default "PLAIN").
// KELM_BENCH_RECIPIENTS=N sends to N recipients (r1@example.com ... rN@...)
// instead of one. KELM_BENCH_PIPELINING=1 sets the property "Pipelining" by
// name, so the driver builds whether or not the component has it; the line
// printed says whether it took (pipelining_property=1) or not (0).
//
// Prints one line of key=value pairs (times in milliseconds, measured on the
// monotonic clock around the component's calls; maxrss_kb from getrusage of
// this process). Exits 1 when a send fails, 2 on bad arguments.
#include "mail/send_mail.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <sys/resource.h>

namespace {

// A body of about 1 KiB: 16 lines of 64 characters.
QString smallBody() {
    QString body;
    for (int i = 0; i < 16; ++i) {
        body += QStringLiteral("Line %1 of the benchmark message body, plain ASCII text......\r\n")
                    .arg(i, 2, 10, QLatin1Char('0'));
    }
    return body;
}

double ms(const QElapsedTimer &t) {
    return static_cast<double>(t.nsecsElapsed()) / 1e6;
}

long maxRssKb() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

int usage() {
    std::fprintf(stderr, "usage: send_bench HOST PORT small | session N | sends N | attach FILE | "
                         "outcome\n");
    return 2;
}

} // namespace

int main(int argc, char **argv) {
    // The component's per-user store must not be read from or written to the
    // real user's folder: the caller chooses one with XDG_CONFIG_HOME, or a
    // temporary one is made for this run.
    std::optional<QTemporaryDir> config;
    if (qEnvironmentVariableIsEmpty("XDG_CONFIG_HOME")) {
        config.emplace();
        qputenv("XDG_CONFIG_HOME", config->path().toLocal8Bit());
    }
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 4) {
        return usage();
    }
    const QString host = args[1];
    bool portOk = false;
    const int port = args[2].toInt(&portOk);
    const QString mode = args[3];
    int count = 1;
    QString file;
    if (!portOk) {
        return usage();
    }
    if (mode == QLatin1String("session") || mode == QLatin1String("sends")) {
        bool ok = false;
        count = args.value(4).toInt(&ok);
        if (!ok || count < 1) {
            return usage();
        }
    } else if (mode == QLatin1String("attach")) {
        file = args.value(4);
        if (file.isEmpty() || !QFileInfo::exists(file)) {
            return usage();
        }
    } else if (mode != QLatin1String("small") && mode != QLatin1String("outcome")) {
        return usage();
    }

    clsSendMail mail;
    int failures = 0;
    int successes = 0;
    qsizetype longestFailure = 0;
    const bool outcomeOnly = mode == QLatin1String("outcome");
    QObject::connect(&mail, &clsSendMail::SendFailed, [&](const QString &why) {
        ++failures;
        longestFailure = std::max(longestFailure, why.size());
        if (!outcomeOnly) {
            std::fprintf(stderr, "send_bench: SendFailed: %s\n", qPrintable(why));
        }
    });
    QObject::connect(&mail, &clsSendMail::SendSuccesful, [&successes] { ++successes; });
    mail.setSMTPHostValidation(0);
    mail.setSMTPHost(host);
    mail.setSMTPPort(port);
    mail.setConnectTimeout(10);
    mail.setMessageTimeout(60);
    mail.setFrom(QStringLiteral("sender@example.com"));
    mail.setFromDisplayName(QStringLiteral("Bench Sender"));
    const QString recipientsText = qEnvironmentVariable("KELM_BENCH_RECIPIENTS");
    if (recipientsText.isEmpty()) {
        mail.setRecipient(QStringLiteral("recipient@example.com"));
    } else {
        bool ok = false;
        const int n = recipientsText.toInt(&ok);
        if (!ok || n < 1) {
            std::fprintf(stderr, "send_bench: KELM_BENCH_RECIPIENTS must be a positive number\n");
            return 2;
        }
        QStringList recipients;
        for (int i = 1; i <= n; ++i) {
            recipients << QStringLiteral("r%1@example.com").arg(i);
        }
        mail.setRecipient(recipients.join(QLatin1Char(';')));
    }
    // A property the component may not have yet: setProperty then only adds
    // a dynamic property and returns false.
    bool pipeliningProperty = false;
    if (qEnvironmentVariable("KELM_BENCH_PIPELINING") == QLatin1String("1")) {
        pipeliningProperty = mail.setProperty("Pipelining", true);
    }
    mail.setSubject(QStringLiteral("Benchmark message"));
    mail.setMessage(smallBody());
    if (!file.isEmpty()) {
        mail.setAttachment(file);
    }
    const QString tlsCa = qEnvironmentVariable("KELM_BENCH_TLS_CA");
    if (!tlsCa.isEmpty()) {
        if (!QFileInfo::exists(tlsCa)) {
            std::fprintf(stderr, "send_bench: no CA file at %s\n", qPrintable(tlsCa));
            return 2;
        }
        mail.setTLSMode(2);
        mail.setTLSCAFile(tlsCa);
    }
    if (qEnvironmentVariableIsSet("KELM_BENCH_USER")) {
        mail.setUseAuthentication(true);
        mail.setUsername(qEnvironmentVariable("KELM_BENCH_USER"));
        mail.setPassword(qEnvironmentVariable("KELM_BENCH_PASSWORD"));
        const QString mechanism = qEnvironmentVariable("KELM_BENCH_AUTH");
        mail.setAuthMechanism(mechanism.isEmpty() ? QStringLiteral("PLAIN") : mechanism);
    }
    if (outcomeOnly) {
        // Short limits: a server that never ends its reply is given up on
        // within seconds.
        mail.setConnectTimeout(5);
        mail.setMessageTimeout(5);
        QElapsedTimer t;
        t.start();
        mail.Send();
        std::printf("total_ms=%.3f successes=%d failures=%d longest_failure=%lld "
                    "mail_result=%d maxrss_kb=%ld\n",
                    ms(t), successes, failures, static_cast<long long>(longestFailure),
                    mail.MailResult ? 1 : 0, maxRssKb());
        return 0;
    }
    if (!mail.ErrorList().isEmpty()) {
        std::fprintf(stderr, "send_bench: %s\n", qPrintable(mail.ErrorList().join("; ")));
        return 1;
    }

    QElapsedTimer total;
    total.start();
    double connectMs = 0;
    double firstMs = 0;
    double furtherMs = 0;
    double disconnectMs = 0;
    if (mode == QLatin1String("session")) {
        QElapsedTimer t;
        t.start();
        if (!mail.Connect()) {
            std::fprintf(stderr, "send_bench: Connect failed\n");
            return 1;
        }
        connectMs = ms(t);
    }
    for (int i = 0; i < count && failures == 0; ++i) {
        QElapsedTimer t;
        t.start();
        mail.Send();
        if (i == 0) {
            firstMs = ms(t);
        } else {
            furtherMs += ms(t);
        }
        if (failures == 0 && !mail.MailResult) {
            std::fprintf(stderr, "send_bench: Send ended without success: %s\n",
                         qPrintable(mail.MailMessage));
            return 1;
        }
    }
    if (mode == QLatin1String("session")) {
        QElapsedTimer t;
        t.start();
        mail.Disconnect();
        disconnectMs = ms(t);
    }
    const double totalMs = ms(total);
    if (failures != 0) {
        return 1;
    }
    std::printf("total_ms=%.3f connect_ms=%.3f first_ms=%.3f further_each_ms=%.4f "
                "disconnect_ms=%.3f messages=%d maxrss_kb=%ld pipelining_property=%d\n",
                totalMs, connectMs, firstMs, count > 1 ? furtherMs / (count - 1) : 0.0,
                disconnectMs, count, maxRssKb(), pipeliningProperty ? 1 : 0);
    return 0;
}
