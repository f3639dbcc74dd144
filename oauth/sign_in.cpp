#include "oauth/sign_in.h"

#include <QPointer>

namespace oauth {

SignIn::SignIn(Config config, TokenStore *store, QNetworkAccessManager *manager, QObject *parent)
    : QObject(parent), m_config(std::move(config)), m_store(store), m_manager(manager) {}

void SignIn::start() {
    switch (m_config.flow) {
    case Flow::Device:
        m_device = std::make_unique<DeviceFlow>(m_config, m_manager);
        m_device->setSecondMs(m_secondMs);
        connect(m_device.get(), &DeviceFlow::codeReady, this, &SignIn::deviceCode);
        connect(m_device.get(), &DeviceFlow::finished, this, &SignIn::flowFinished);
        m_device->start();
        return;
    case Flow::Browser:
        m_browser = std::make_unique<BrowserFlow>(m_config, m_manager);
        connect(m_browser.get(), &BrowserFlow::ready, this, &SignIn::authorizationUrl);
        connect(m_browser.get(), &BrowserFlow::finished, this, &SignIn::flowFinished);
        m_browser->start();
        return;
    }
}

void SignIn::cancel() {
    m_cancelled = true;
    if (m_device) {
        m_device->cancel();
    }
    if (m_browser) {
        m_browser->cancel();
    }
}

void SignIn::flowFinished(const Result &result) {
    if (result.outcome != Outcome::Ok) {
        emit finished(result, m_config.store);
        return;
    }
    Tokens tokens = result.tokens;
    if (tokens.scope.isEmpty()) {
        tokens.scope = m_config.scope;
    }
    const bool noRefresh = tokens.refreshToken.isEmpty();
    QPointer<SignIn> self(this);
    m_store->save(m_config.account, m_config.store, m_config.provider, tokens,
                  [self, noRefresh](const Result &saved, StoreChoice where) {
                      if (!self || self->m_cancelled) {
                          return;
                      }
                      Result out = saved;
                      if (saved.outcome == Outcome::Ok && noRefresh) {
                          const QString note = QStringLiteral(
                              "the provider issued no refresh token, so sign-in lasts only as "
                              "long as this access token (the scope may need offline_access)");
                          out.message = out.message.isEmpty()
                                            ? note
                                            : out.message + QStringLiteral("; ") + note;
                      }
                      emit self->finished(out, where);
                  });
}

} // namespace oauth
