// The Secret Service (freedesktop.org; GNOME Keyring, KWallet) through
// libsecret, one item per account. libsecret's calls block on D-Bus, so
// each runs on a worker thread of its own pool and answers through the
// caller's event loop, with a time limit: a Secret Service that does not
// answer in time is reported as unreachable and the late answer dropped.
#pragma once

#include <QObject>
#include <QString>

#include <functional>

namespace oauth::secret {

struct Reply {
    bool reached = false; // the service answered; else `error` says why not
    bool found = false;   // Lookup: an item exists
    QString secret;       // Lookup: its text
    QString error;        // never holds the secret
};

using Callback = std::function<void(const Reply &)>;

// Each calls `done` once, in the main thread, unless `context` is gone.
void Lookup(const QString &account, int timeoutMs, QObject *context, Callback done);
void Store(const QString &account, const QString &secret, int timeoutMs, QObject *context,
           Callback done);
void Clear(const QString &account, int timeoutMs, QObject *context, Callback done);

} // namespace oauth::secret
