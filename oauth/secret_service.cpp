// GLib's headers name a struct member "signals", which Qt defines as a
// keyword: they come first.
#include <libsecret/secret.h>

#include "oauth/secret_service.h"

#include <QCoreApplication>
#include <QPointer>
#include <QThreadPool>
#include <QTimer>

#include <atomic>
#include <memory>

namespace oauth::secret {

namespace {

const SecretSchema *Schema() {
    static const SecretSchema schema = {
        "org.kelmupload.kelmsend.OAuth",
        SECRET_SCHEMA_NONE,
        {{"account", SECRET_SCHEMA_ATTRIBUTE_STRING}, {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING}},
        0,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
        nullptr};
    return &schema;
}

// Its own pool, so that a hanging D-Bus call never holds up the global
// pool's other users; two threads, since one may still hang after its
// time limit.
QThreadPool &Pool() {
    static QThreadPool *pool = [] {
        auto *p = new QThreadPool(QCoreApplication::instance());
        p->setMaxThreadCount(2);
        return p;
    }();
    return *pool;
}

struct Call {
    QPointer<QObject> context;
    Callback done;
    GCancellable *cancellable = g_cancellable_new();
    std::atomic<bool> answered{false};
    ~Call() { g_object_unref(cancellable); }

    // In the main thread: the first of the answer and the time limit wins.
    void deliver(const Reply &reply) {
        if (answered.exchange(true)) {
            return;
        }
        if (context) {
            done(reply);
        }
    }
};

QString ErrorText(GError *error) {
    QString text = error ? QString::fromUtf8(error->message) : QStringLiteral("unknown error");
    if (error) {
        g_error_free(error);
    }
    return QStringLiteral("the Secret Service: %1").arg(text);
}

void Run(QObject *context, int timeoutMs, Callback done,
         std::function<Reply(GCancellable *)> work) {
    auto call = std::make_shared<Call>();
    call->context = context;
    call->done = std::move(done);
    QTimer::singleShot(timeoutMs, context, [call, timeoutMs] {
        g_cancellable_cancel(call->cancellable);
        call->deliver(Reply{false,
                            false,
                            {},
                            QStringLiteral("the Secret Service did not answer within %1 s")
                                .arg(timeoutMs / 1000.0)});
    });
    Pool().start([call, work = std::move(work)] {
        Reply reply = work(call->cancellable);
        QMetaObject::invokeMethod(
            QCoreApplication::instance(), [call, reply] { call->deliver(reply); },
            Qt::QueuedConnection);
    });
}

std::string Utf8(const QString &s) {
    return s.toStdString();
}

} // namespace

void Lookup(const QString &account, int timeoutMs, QObject *context, Callback done) {
    Run(context, timeoutMs, std::move(done), [name = Utf8(account)](GCancellable *cancel) {
        GError *error = nullptr;
        gchar *value =
            secret_password_lookup_sync(Schema(), cancel, &error, "account", name.c_str(), nullptr);
        if (error) {
            return Reply{false, false, {}, ErrorText(error)};
        }
        Reply r{true, value != nullptr, value ? QString::fromUtf8(value) : QString(), {}};
        if (value) {
            secret_password_free(value);
        }
        return r;
    });
}

void Store(const QString &account, const QString &secretText, int timeoutMs, QObject *context,
           Callback done) {
    Run(context, timeoutMs, std::move(done),
        [name = Utf8(account), value = Utf8(secretText)](GCancellable *cancel) {
            GError *error = nullptr;
            const std::string label = "kelmsend OAuth tokens for " + name;
            const gboolean ok = secret_password_store_sync(
                Schema(), SECRET_COLLECTION_DEFAULT, label.c_str(), value.c_str(), cancel, &error,
                "account", name.c_str(), nullptr);
            if (!ok || error) {
                return Reply{false, false, {}, ErrorText(error)};
            }
            return Reply{true, true, {}, {}};
        });
}

void Clear(const QString &account, int timeoutMs, QObject *context, Callback done) {
    Run(context, timeoutMs, std::move(done), [name = Utf8(account)](GCancellable *cancel) {
        GError *error = nullptr;
        const gboolean removed =
            secret_password_clear_sync(Schema(), cancel, &error, "account", name.c_str(), nullptr);
        if (error) {
            return Reply{false, false, {}, ErrorText(error)};
        }
        return Reply{true, removed != FALSE, {}, {}};
    });
}

} // namespace oauth::secret
