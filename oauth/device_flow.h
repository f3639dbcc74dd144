// Sign-in by the device authorization grant (RFC 8628): ask the device
// endpoint for a code, let the caller show it, then poll the token
// endpoint at the interval the server gives until the user has signed in,
// refused, or the code ran out. Event-driven: start() returns at once.
#pragma once

#include "oauth/provider.h"
#include "oauth/token_reply.h"

#include <QObject>
#include <QPointer>
#include <QTimer>

class QNetworkAccessManager;
class QNetworkReply;

namespace oauth {

class DeviceFlow : public QObject {
    Q_OBJECT
public:
    // `manager` must outlive the flow.
    DeviceFlow(Config config, QNetworkAccessManager *manager, QObject *parent = nullptr);

    // Asks for the code; codeReady() follows, then finished() once, or
    // finished() alone when the code cannot be had.
    void start();

    // Ends the flow without finished().
    void cancel();

    // How long one of the server's seconds lasts here (1000). Tests shorten
    // it so that an interval of 5 s and slow_down's 5 s more pass quickly.
    void setSecondMs(int ms) { m_secondMs = ms; }

signals:
    // The verification address and the user code to show the user.
    void codeReady(const oauth::DeviceCode &code);
    // Ok with the tokens, or why not. Emitted once.
    void finished(const oauth::Result &result);

private:
    void onCode(const DeviceCode &code);
    void poll();
    void onPollReply(const TokenReply &reply);
    void finish(Outcome outcome, const QString &message, const Tokens &tokens = {});

    Config m_config;
    QNetworkAccessManager *m_manager;
    QPointer<QNetworkReply> m_reply;
    QTimer m_pollTimer;
    DeviceCode m_code;
    qint64 m_deadlineMs = 0; // ms since the epoch
    int m_secondMs = 1000;
    bool m_done = false;
};

} // namespace oauth
