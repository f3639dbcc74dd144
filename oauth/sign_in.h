// Sign-in of one account: the flow its configuration names (device or
// browser), then the tokens kept in the store it chose. Event-driven: the
// caller shows what the signals hand it and waits for finished().
#pragma once

#include "oauth/browser_flow.h"
#include "oauth/device_flow.h"
#include "oauth/token_store.h"

#include <QObject>
#include <QUrl>

#include <memory>

class QNetworkAccessManager;

namespace oauth {

class SignIn : public QObject {
    Q_OBJECT
public:
    // `store` and `manager` must outlive the sign-in.
    SignIn(Config config, TokenStore *store, QNetworkAccessManager *manager,
           QObject *parent = nullptr);

    // Starts the flow; deviceCode() or authorizationUrl() follows, then
    // finished() once.
    void start();
    void cancel();

    // How long one of the device flow's seconds lasts (tests).
    void setSecondMs(int ms) { m_secondMs = ms; }

signals:
    // Device flow: print code.verificationUri and code.userCode.
    void deviceCode(const oauth::DeviceCode &code);
    // Browser flow: print the address and OpenInBrowser() it.
    void authorizationUrl(const QUrl &url);
    // Ok once the tokens are kept; `where` says in which store. A message
    // with Ok is a note for the user (no refresh token came, or the Secret
    // Service could not be reached and the file was used).
    void finished(const oauth::Result &result, oauth::StoreChoice where);

private:
    void flowFinished(const Result &result);

    Config m_config;
    TokenStore *m_store;
    QNetworkAccessManager *m_manager;
    std::unique_ptr<DeviceFlow> m_device;
    std::unique_ptr<BrowserFlow> m_browser;
    int m_secondMs = 1000;
    bool m_cancelled = false;
};

} // namespace oauth
