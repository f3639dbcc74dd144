// GLib's headers name a struct member "signals", which Qt defines as a
// keyword: they come first.
#include <libsecret/secret.h>

#include "oauth/secret_service.h"

#include <QCoreApplication>
#include <QPointer>
#include <QThreadPool>
#include <QTimer>

#include <atomic>
#include <dlfcn.h>
#include <memory>

namespace oauth::secret {

namespace {

// libsecret and the GLib object libraries it brings (GIO, GObject, libmount,
// libgcrypt and more, nearly 2 MB of mapped pages) are loaded on the first
// call, so that a run that never asks the Secret Service maps none of them.
// The headers give the types; the few functions used are looked up here.
struct Api {
    decltype(&secret_password_lookup_sync) lookup = nullptr;
    decltype(&secret_password_store_sync) store = nullptr;
    decltype(&secret_password_clear_sync) clear = nullptr;
    decltype(&secret_password_free) passwordFree = nullptr;
    decltype(&g_cancellable_new) cancellableNew = nullptr;
    decltype(&g_cancellable_cancel) cancellableCancel = nullptr;
    decltype(&g_object_unref) objectUnref = nullptr;
    decltype(&g_error_free) errorFree = nullptr;
    QString failure; // why the library is not there; empty when it is
};

template <typename Fn> bool Resolve(void *library, const char *name, Fn &slot) {
    slot = reinterpret_cast<Fn>(::dlsym(library, name));
    return slot != nullptr;
}

const Api &Library() {
    static const Api api = [] {
        Api a;
        // Never unloaded: GObject types cannot be registered twice.
        void *library = ::dlopen("libsecret-1.so.0", RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
        if (!library) {
            a.failure = QStringLiteral("the Secret Service: libsecret-1.so.0 could not be "
                                       "loaded (%1)")
                            .arg(QString::fromLocal8Bit(::dlerror()));
            return a;
        }
        // The GLib functions are found through libsecret's own dependencies.
        if (!Resolve(library, "secret_password_lookup_sync", a.lookup) ||
            !Resolve(library, "secret_password_store_sync", a.store) ||
            !Resolve(library, "secret_password_clear_sync", a.clear) ||
            !Resolve(library, "secret_password_free", a.passwordFree) ||
            !Resolve(library, "g_cancellable_new", a.cancellableNew) ||
            !Resolve(library, "g_cancellable_cancel", a.cancellableCancel) ||
            !Resolve(library, "g_object_unref", a.objectUnref) ||
            !Resolve(library, "g_error_free", a.errorFree))
            a.failure = QStringLiteral("the Secret Service: libsecret-1.so.0 lacks %1")
                            .arg(QString::fromLocal8Bit(::dlerror()));
        return a;
    }();
    return api;
}

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
    GCancellable *cancellable = Library().cancellableNew();
    std::atomic<bool> answered{false};
    ~Call() { Library().objectUnref(cancellable); }

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
        Library().errorFree(error);
    }
    return QStringLiteral("the Secret Service: %1").arg(text);
}

void Run(QObject *context, int timeoutMs, Callback done,
         std::function<Reply(GCancellable *)> work) {
    if (const QString &failure = Library().failure; !failure.isEmpty()) {
        // Through the event loop, as every other answer.
        QTimer::singleShot(0, context, [done = std::move(done), failure] {
            done(Reply{false, false, {}, failure});
        });
        return;
    }
    auto call = std::make_shared<Call>();
    call->context = context;
    call->done = std::move(done);
    QTimer::singleShot(timeoutMs, context, [call, timeoutMs] {
        Library().cancellableCancel(call->cancellable);
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
        gchar *value = Library().lookup(Schema(), cancel, &error, "account", name.c_str(), nullptr);
        if (error) {
            return Reply{false, false, {}, ErrorText(error)};
        }
        Reply r{true, value != nullptr, value ? QString::fromUtf8(value) : QString(), {}};
        if (value) {
            Library().passwordFree(value);
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
            const gboolean ok =
                Library().store(Schema(), SECRET_COLLECTION_DEFAULT, label.c_str(), value.c_str(),
                                cancel, &error, "account", name.c_str(), nullptr);
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
            Library().clear(Schema(), cancel, &error, "account", name.c_str(), nullptr);
        if (error) {
            return Reply{false, false, {}, ErrorText(error)};
        }
        return Reply{true, removed != FALSE, {}, {}};
    });
}

} // namespace oauth::secret
