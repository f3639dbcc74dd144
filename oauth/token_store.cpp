#include "oauth/token_store.h"

#include "oauth/secret_service.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>
#include <QUrl>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace oauth {

namespace {

constexpr qint64 kMaxRecordBytes = 64 * 1024;

QString SystemError(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

QString DefaultFolder() {
    QString state = qEnvironmentVariable("XDG_STATE_HOME");
    // XDG base directory rules: a relative path is ignored.
    if (state.isEmpty() || !QDir::isAbsolutePath(state)) {
        state = QDir::homePath() + QStringLiteral("/.local/state");
    }
    return state + QStringLiteral("/kelmsend/oauth");
}

// Creates `path` and its missing parents as 0700; makes `path` itself 0700.
QString MakePrivateFolder(const QString &path) {
    const QByteArray native = QFile::encodeName(path);
    QString missing;
    for (qsizetype i = 1; i <= native.size(); ++i) {
        if (i == native.size() || native[i] == '/') {
            const QByteArray part = native.left(i);
            if (::mkdir(part.constData(), 0700) != 0 && errno != EEXIST) {
                return QStringLiteral("cannot create the folder %1: %2")
                    .arg(QFile::decodeName(part), SystemError(errno));
            }
        }
    }
    struct stat st {};
    if (::stat(native.constData(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        return QStringLiteral("%1 is not a folder").arg(path);
    }
    if ((st.st_mode & 077) != 0 && ::chmod(native.constData(), 0700) != 0) {
        return QStringLiteral("cannot make %1 private (chmod 700): %2")
            .arg(path, SystemError(errno));
    }
    return {};
}

QJsonObject TokensJson(const Tokens &t) {
    QJsonObject o;
    o.insert(QLatin1String("access_token"), t.accessToken);
    o.insert(QLatin1String("refresh_token"), t.refreshToken);
    return o;
}

QString Iso(const QDateTime &t) {
    return t.isValid() ? t.toUTC().toString(Qt::ISODate) : QString();
}

} // namespace

QString WriteFileAtomically(const QString &path, const QByteArray &bytes) {
    const QFileInfo info(path);
    const QString folder = info.absolutePath();
    // A dot file: no record is ever named so (a leading dot of an account
    // name is encoded), so no account's record can be mistaken for it.
    const QByteArray temp =
        QFile::encodeName(folder + QStringLiteral("/.") + info.fileName() + QStringLiteral(".tmp"));
    const QByteArray target = QFile::encodeName(path);
    auto fail = [&](const QString &what) {
        const QString text =
            QStringLiteral("cannot write %1: %2: %3").arg(path, what, SystemError(errno));
        ::unlink(temp.constData());
        return text;
    };
    // A temporary file left by a killed run is replaced, never followed.
    ::unlink(temp.constData());
    const int fd =
        ::open(temp.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        return fail(QStringLiteral("open"));
    }
    qsizetype written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + written, bytes.size() - written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            ::close(fd);
            return fail(QStringLiteral("write"));
        }
        written += n;
    }
    if (::fsync(fd) != 0) {
        ::close(fd);
        return fail(QStringLiteral("fsync"));
    }
    if (::close(fd) != 0) {
        return fail(QStringLiteral("close"));
    }
    if (::rename(temp.constData(), target.constData()) != 0) {
        return fail(QStringLiteral("rename"));
    }
    const int dir =
        ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0 || ::fsync(dir) != 0) {
        const QString text =
            QStringLiteral("cannot sync the folder %1: %2").arg(folder, SystemError(errno));
        if (dir >= 0) {
            ::close(dir);
        }
        return text;
    }
    ::close(dir);
    return {};
}

TokenStore::TokenStore(QString folder, QObject *parent)
    : QObject(parent), m_folder(folder.isEmpty() ? DefaultFolder() : std::move(folder)) {}

QString TokenStore::lockPath(const QString &account) const {
    const QFileInfo record(recordPath(account));
    return record.absolutePath() + QStringLiteral("/.") + record.fileName() +
           QStringLiteral(".lock");
}

QString TokenStore::recordPath(const QString &account) const {
    QString name = QString::fromLatin1(
        QUrl::toPercentEncoding(account.isEmpty() ? QStringLiteral("default") : account));
    if (name.startsWith(QLatin1Char('.'))) {
        name = QStringLiteral("%2E") + name.mid(1);
    }
    return m_folder + QLatin1Char('/') + name;
}

namespace {

// The record and, for the file store, the tokens.
Result ReadRecordFile(const QString &account, const QString &path, Record *record, Tokens *tokens) {
    auto result = [](Outcome outcome, const QString &message) {
        return Result{outcome, message, {}};
    };
    const QByteArray native = QFile::encodeName(path);
    const int fd = ::open(native.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) {
            return result(Outcome::NotSignedIn,
                          QStringLiteral("account %1 is not signed in").arg(account));
        }
        return result(Outcome::Failed,
                      QStringLiteral("cannot read %1: %2").arg(path, SystemError(errno)));
    }
    struct stat st {};
    QByteArray bytes;
    QString refused;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        refused = QStringLiteral("%1 is not a regular file").arg(path);
    } else if (st.st_uid != ::geteuid()) {
        refused = QStringLiteral("%1 belongs to another user: it was refused").arg(path);
    } else if ((st.st_mode & 077) != 0) {
        refused = QStringLiteral("%1 may be read or changed by other users: it was refused; "
                                 "run chmod 600 %1 if its content is still private, or sign in "
                                 "again")
                      .arg(path);
    } else {
        bytes.resize(kMaxRecordBytes + 1);
        qsizetype got = 0;
        while (got < bytes.size()) {
            const ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0) {
                refused = QStringLiteral("cannot read %1: %2").arg(path, SystemError(errno));
            }
            if (n <= 0) {
                break;
            }
            got += n;
        }
        bytes.truncate(got);
    }
    ::close(fd);
    if (!refused.isEmpty()) {
        return result(Outcome::Failed, refused);
    }
    const QString damaged =
        QStringLiteral("the sign-in record %1 is damaged: sign in again").arg(path);
    if (bytes.size() > kMaxRecordBytes) {
        return result(Outcome::NotSignedIn, damaged);
    }
    const QJsonDocument doc = QJsonDocument::fromJson(bytes);
    if (!doc.isObject()) {
        return result(Outcome::NotSignedIn, damaged);
    }
    const QJsonObject o = doc.object();
    const std::optional<StoreChoice> store =
        StoreFromName(o.value(QLatin1String("store")).toString());
    if (!store || *store == StoreChoice::Automatic) {
        return result(Outcome::NotSignedIn, damaged);
    }
    record->store = *store;
    record->provider = o.value(QLatin1String("provider")).toString();
    record->scope = o.value(QLatin1String("scope")).toString();
    record->expires =
        QDateTime::fromString(o.value(QLatin1String("expires")).toString(), Qt::ISODate);
    record->hasRefreshToken = o.value(QLatin1String("has_refresh_token")).toBool();
    if (*store == StoreChoice::File) {
        tokens->accessToken = o.value(QLatin1String("access_token")).toString();
        tokens->refreshToken = o.value(QLatin1String("refresh_token")).toString();
        if (tokens->accessToken.isEmpty() && tokens->refreshToken.isEmpty()) {
            return result(Outcome::NotSignedIn, damaged);
        }
    }
    tokens->expires = record->expires;
    tokens->scope = record->scope;
    return Result{Outcome::Ok, {}, {}};
}

} // namespace

Result TokenStore::readRecord(const QString &account, Record *record) const {
    Tokens ignored;
    return ReadRecordFile(account, recordPath(account), record, &ignored);
}

QString TokenStore::writeRecord(const QString &account, const Record &record,
                                const Tokens *tokens) const {
    if (QString error = MakePrivateFolder(m_folder); !error.isEmpty()) {
        return error;
    }
    QJsonObject o;
    if (tokens) {
        o = TokensJson(*tokens);
    }
    o.insert(QLatin1String("store"), StoreName(record.store));
    o.insert(QLatin1String("provider"), record.provider);
    o.insert(QLatin1String("scope"), record.scope);
    o.insert(QLatin1String("expires"), Iso(record.expires));
    o.insert(QLatin1String("has_refresh_token"), record.hasRefreshToken);
    return WriteFileAtomically(recordPath(account), QJsonDocument(o).toJson());
}

void TokenStore::later(Done done, const Result &result, StoreChoice where) {
    QTimer::singleShot(0, this, [done = std::move(done), result, where] { done(result, where); });
}

void TokenStore::load(const QString &account, Done done) {
    Record record;
    Tokens tokens;
    const Result read = ReadRecordFile(account, recordPath(account), &record, &tokens);
    if (read.outcome != Outcome::Ok) {
        later(std::move(done), read, StoreChoice::File);
        return;
    }
    if (record.store == StoreChoice::File) {
        later(std::move(done), Result{Outcome::Ok, {}, tokens}, StoreChoice::File);
        return;
    }
    secret::Lookup(
        account, m_secretTimeoutMs, this,
        [account, tokens, done = std::move(done)](const secret::Reply &reply) mutable {
            const StoreChoice where = StoreChoice::SecretService;
            if (!reply.reached) {
                done(Result{Outcome::StoreUnavailable,
                            QStringLiteral("the tokens of account %1 are kept in the Secret "
                                           "Service, chosen at sign-in, which cannot be reached "
                                           "here (%2); run where the desktop session is, or sign "
                                           "in again with token-store = file")
                                .arg(account, reply.error),
                            {}},
                     where);
                return;
            }
            const QJsonDocument doc = QJsonDocument::fromJson(reply.secret.toUtf8());
            const QJsonObject o = doc.object();
            tokens.accessToken = o.value(QLatin1String("access_token")).toString();
            tokens.refreshToken = o.value(QLatin1String("refresh_token")).toString();
            if (!reply.found || !doc.isObject() ||
                (tokens.accessToken.isEmpty() && tokens.refreshToken.isEmpty())) {
                done(Result{Outcome::NotSignedIn,
                            QStringLiteral("the Secret Service holds no usable tokens for account "
                                           "%1: sign in again")
                                .arg(account),
                            {}},
                     where);
                return;
            }
            done(Result{Outcome::Ok, {}, tokens}, where);
        });
}

void TokenStore::save(const QString &account, StoreChoice choice, const QString &provider,
                      const Tokens &tokens, Done done) {
    if (choice == StoreChoice::File) {
        Record record{StoreChoice::File, provider, tokens.scope, tokens.expires,
                      !tokens.refreshToken.isEmpty()};
        const QString error = writeRecord(account, record, &tokens);
        later(std::move(done),
              error.isEmpty() ? Result{Outcome::Ok, {}, tokens}
                              : Result{Outcome::Failed, error, {}},
              StoreChoice::File);
        return;
    }
    saveInSecretService(account, provider, tokens, choice == StoreChoice::Automatic,
                        std::move(done));
}

void TokenStore::saveInSecretService(const QString &account, const QString &provider,
                                     const Tokens &tokens, bool fallBack, Done done) {
    const QString secretText =
        QString::fromUtf8(QJsonDocument(TokensJson(tokens)).toJson(QJsonDocument::Compact));
    secret::Store(
        account, secretText, m_secretTimeoutMs, this,
        [this, account, provider, tokens, fallBack,
         done = std::move(done)](const secret::Reply &reply) mutable {
            if (!reply.reached) {
                if (!fallBack) {
                    done(Result{Outcome::StoreUnavailable,
                                QStringLiteral("cannot keep the tokens of account %1 in %2")
                                    .arg(account, reply.error),
                                {}},
                         StoreChoice::SecretService);
                    return;
                }
                save(account, StoreChoice::File, provider, tokens,
                     [done = std::move(done), why = reply.error](const Result &r,
                                                                 StoreChoice where) {
                         Result noted = r;
                         if (r.outcome == Outcome::Ok) {
                             noted.message =
                                 QStringLiteral("no Secret Service (%1): the tokens are kept in "
                                                "a private file")
                                     .arg(why);
                         }
                         done(noted, where);
                     });
                return;
            }
            Record record{StoreChoice::SecretService, provider, tokens.scope, tokens.expires,
                          !tokens.refreshToken.isEmpty()};
            const QString error = writeRecord(account, record, nullptr);
            done(error.isEmpty() ? Result{Outcome::Ok, {}, tokens}
                                 : Result{Outcome::Failed, error, {}},
                 StoreChoice::SecretService);
        });
}

void TokenStore::remove(const QString &account, Done done) {
    Record record;
    const Result read = readRecord(account, &record);
    auto removeFile = [this, account]() -> Result {
        const QString path = recordPath(account);
        if (::unlink(QFile::encodeName(path).constData()) != 0 && errno != ENOENT) {
            return Result{Outcome::Failed,
                          QStringLiteral("cannot remove %1: %2").arg(path, SystemError(errno)),
                          {}};
        }
        return Result{Outcome::Ok, {}, {}};
    };
    if (read.outcome == Outcome::Ok && record.store == StoreChoice::SecretService) {
        secret::Clear(account, m_secretTimeoutMs, this,
                      [account, removeFile, done = std::move(done)](const secret::Reply &reply) {
                          if (!reply.reached) {
                              done(Result{Outcome::StoreUnavailable,
                                          QStringLiteral("cannot remove the tokens of account "
                                                         "%1 from %2")
                                              .arg(account, reply.error),
                                          {}},
                                   StoreChoice::SecretService);
                              return;
                          }
                          done(removeFile(), StoreChoice::SecretService);
                      });
        return;
    }
    later(std::move(done), removeFile(), record.store);
}

} // namespace oauth
