// Shared by the OAuth tests: a configuration against the scripted
// authorization server, a bounded wait on the event loop, and a log of
// every message Qt printed, for the check that no secret ever shows.
#pragma once

#include "oauth/provider.h"
#include "token_server.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QMutex>
#include <QStringList>
#include <gtest/gtest.h>

namespace oauthtest {

inline const QString kClientSecret = QStringLiteral("CLIENT-SECRET-xyz");

inline oauth::Config LocalConfig(const TokenServer &server, oauth::Flow flow,
                                 oauth::StoreChoice store = oauth::StoreChoice::File) {
    oauth::Settings s;
    s.provider = "custom";
    s.clientId = "client-1";
    s.clientSecret = kClientSecret;
    s.scope = "smtp offline_access";
    s.tokenUrl = server.url("/token").toString();
    s.deviceUrl = server.url("/device").toString();
    s.authUrl = server.url("/authorize").toString();
    s.flow = oauth::FlowName(flow);
    const oauth::Resolved r = oauth::Resolve("work", s);
    EXPECT_TRUE(r.config) << r.error.toStdString();
    oauth::Config c = r.config.value_or(oauth::Config{});
    c.store = store;
    c.exchangeTimeoutMs = 800;
    c.browserTimeoutMs = 5000;
    return c;
}

// Runs the event loop until `done()` or `ms` have passed.
template <class Done> bool Until(Done done, int ms = 5000) {
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < ms) {
        QEventLoop loop;
        QTimer::singleShot(5, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return done();
}

// Every qDebug/qWarning/... while it lives.
class MessageLog {
public:
    MessageLog() {
        Texts().clear();
        m_previous =
            qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &text) {
                QMutexLocker lock(&Mutex());
                Texts().append(text);
            });
    }
    ~MessageLog() { qInstallMessageHandler(m_previous); }
    static QStringList texts() {
        QMutexLocker lock(&Mutex());
        return Texts();
    }

private:
    static QStringList &Texts() {
        static QStringList texts;
        return texts;
    }
    static QMutex &Mutex() {
        static QMutex mutex;
        return mutex;
    }
    QtMessageHandler m_previous;
};

// Fails for each text that shows a token of the scripted server or the
// client secret.
inline void ExpectNoSecret(const QStringList &texts) {
    for (const QString &t : texts) {
        EXPECT_FALSE(t.contains(QLatin1String("-secret")) || t.contains(kClientSecret))
            << "a secret shows in: " << t.toStdString();
    }
}

} // namespace oauthtest
