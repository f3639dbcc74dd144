// Where an account's tokens are kept between runs.
//
// Every signed-in account has a record file,
// $XDG_STATE_HOME/kelmsend/oauth/<account> (folder 0700, file 0600, JSON):
// the store that sign-in chose, the scope and the access token's expiry.
// With the file store the record also holds the tokens; with the Secret
// Service they are the secret of the account's item there. So a run that
// cannot reach the Secret Service (cron, ssh) knows that the tokens exist
// and says so, instead of asking for a new sign-in.
//
// Files are written the way mail systems write them: a temporary file,
// fsync, rename into place, fsync of the folder. A record that others may
// read is refused, naming chmod 600; a damaged one means signing in again.
#pragma once

#include "oauth/provider.h"
#include "oauth/token_reply.h"

#include <QDateTime>
#include <QObject>
#include <QString>

#include <functional>
#include <optional>

namespace oauth {

// What status shows: the record without its secrets.
struct Record {
    StoreChoice store = StoreChoice::File; // File or SecretService
    QString provider;
    QString scope;
    QDateTime expires; // of the access token
    bool hasRefreshToken = false;
};

class TokenStore : public QObject {
    Q_OBJECT
public:
    // Records under `folder`; empty: $XDG_STATE_HOME/kelmsend/oauth, with
    // ~/.local/state in place of an unset XDG_STATE_HOME.
    explicit TokenStore(QString folder = {}, QObject *parent = nullptr);

    [[nodiscard]] QString folder() const { return m_folder; }
    // The record file of `account` (its name percent-encoded, so that no
    // account name can step out of the folder).
    [[nodiscard]] QString recordPath(const QString &account) const;
    // The file that renewals of `account` lock (a dot file beside the record).
    [[nodiscard]] QString lockPath(const QString &account) const;

    void setSecretServiceTimeoutMs(int ms) { m_secretTimeoutMs = ms; }

    // The record alone, read at once: Ok with `record`, NotSignedIn when
    // there is none or it is damaged, Failed when it may not be read.
    [[nodiscard]] Result readRecord(const QString &account, Record *record) const;

    using Done = std::function<void(const Result &, StoreChoice where)>;

    // The tokens of `account`: Ok with them; NotSignedIn; StoreUnavailable
    // when the Secret Service chosen at sign-in does not answer; Failed
    // (wrong permissions). `done` runs later, never inside the call.
    void load(const QString &account, Done done);

    // Keeps `tokens` in `choice` (Automatic: the Secret Service when it
    // answers, else the file) and records it; `where` tells which one.
    // `done` runs later; Ok only once the tokens are on disk or in the
    // Secret Service.
    void save(const QString &account, StoreChoice choice, const QString &provider,
              const Tokens &tokens, Done done);

    // Removes the tokens and the record; Ok also when there were none.
    void remove(const QString &account, Done done);

private:
    QString writeRecord(const QString &account, const Record &record, const Tokens *tokens) const;
    void later(Done done, const Result &result, StoreChoice where);
    void saveInSecretService(const QString &account, const QString &provider, const Tokens &tokens,
                             bool fallBack, Done done);

    QString m_folder;
    int m_secretTimeoutMs = 10000;
};

// Writes `bytes` to `path` as mode 0600 by a temporary dot file beside it,
// fsync, rename and fsync of the folder. An error text, or empty.
[[nodiscard]] QString WriteFileAtomically(const QString &path, const QByteArray &bytes);

} // namespace oauth
