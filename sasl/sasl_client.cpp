#include "sasl/sasl_client.h"

#include <gsasl.h>

#include <algorithm>
#include <array>
#include <dlfcn.h>
#include <utility>

namespace sasl {

namespace {

struct Named {
    Mechanism mechanism;
    const char *name;
};

constexpr std::array kNames{
    Named{Mechanism::ScramSha256, "SCRAM-SHA-256"},
    Named{Mechanism::ScramSha1, "SCRAM-SHA-1"},
    Named{Mechanism::CramMd5, "CRAM-MD5"},
    Named{Mechanism::Plain, "PLAIN"},
    Named{Mechanism::Login, "LOGIN"},
    Named{Mechanism::XOAuth2, "XOAUTH2"},
    Named{Mechanism::OAuthBearer, "OAUTHBEARER"},
};

bool IsBearer(Mechanism m) {
    return m == Mechanism::XOAuth2 || m == Mechanism::OAuthBearer;
}

bool IsScram(Mechanism m) {
    return m == Mechanism::ScramSha256 || m == Mechanism::ScramSha1;
}

// The iteration count of a SCRAM server-first message ("r=...,s=...,i=4096",
// RFC 5802 section 7) when it holds one: -1 for digits beyond any count,
// std::nullopt when there is no "i=" or it is no number (the library then
// judges the message).
std::optional<qint64> ScramIterations(const QByteArray &challenge) {
    for (const QByteArray &attribute : challenge.split(',')) {
        if (!attribute.startsWith("i="))
            continue;
        const QByteArray digits = attribute.mid(2);
        if (digits.isEmpty() ||
            !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
            return std::nullopt;
        bool ok = false;
        const qint64 n = digits.size() <= 18 ? digits.toLongLong(&ok) : 0;
        return ok ? n : -1;
    }
    return std::nullopt;
}

// The text after the reply code and its separator of one EHLO reply line.
QString LineText(QString line) {
    line = line.trimmed();
    return line.size() > 4 ? line.mid(4) : QString();
}

} // namespace

QString MechanismName(Mechanism mechanism) {
    for (const Named &n : kNames)
        if (n.mechanism == mechanism)
            return QString::fromLatin1(n.name);
    return {};
}

std::optional<Mechanism> MechanismFromName(const QString &name) {
    for (const Named &n : kNames)
        if (name.compare(QLatin1StringView(n.name), Qt::CaseInsensitive) == 0)
            return n.mechanism;
    return std::nullopt;
}

QStringList OfferedMechanisms(const QString &ehloReply) {
    QStringList offered;
    for (const QString &line : ehloReply.split(u'\n')) {
        const QString text = LineText(line);
        QString list;
        if (text.startsWith(QLatin1StringView("AUTH "), Qt::CaseInsensitive) ||
            text.startsWith(QLatin1StringView("AUTH="), Qt::CaseInsensitive))
            list = text.mid(5);
        for (const QString &word : list.split(u' ', Qt::SkipEmptyParts))
            if (!offered.contains(word, Qt::CaseInsensitive))
                offered << word;
    }
    return offered;
}

bool SendsClearSecret(Mechanism m) {
    return m == Mechanism::Plain || m == Mechanism::Login || IsBearer(m);
}

std::optional<Mechanism> ChooseMechanism(const QStringList &offered, bool haveToken,
                                         bool clearPasswordAllowed) {
    std::array<Mechanism, 7> order{Mechanism::ScramSha256, Mechanism::ScramSha1, Mechanism::CramMd5,
                                   Mechanism::Plain,       Mechanism::Login,     Mechanism::XOAuth2,
                                   Mechanism::OAuthBearer};
    if (haveToken)
        order = {Mechanism::XOAuth2,   Mechanism::OAuthBearer, Mechanism::ScramSha256,
                 Mechanism::ScramSha1, Mechanism::CramMd5,     Mechanism::Plain,
                 Mechanism::Login};
    for (Mechanism m : order) {
        if (IsBearer(m) && !haveToken)
            continue;
        if (SendsClearSecret(m) && !clearPasswordAllowed)
            continue;
        if (offered.contains(MechanismName(m), Qt::CaseInsensitive))
            return m;
    }
    return std::nullopt;
}

namespace {

// GNU SASL and what it brings (libidn, libntlm, libgssglue) are loaded when
// a mechanism of the library first runs, so that a send without AUTH, or
// with LOGIN or a bearer token, maps none of them. The header gives the
// types; the few functions used are looked up here.
struct GsaslApi {
    decltype(&gsasl_init) init = nullptr;
    decltype(&gsasl_done) done = nullptr;
    decltype(&gsasl_client_start) clientStart = nullptr;
    decltype(&gsasl_finish) finish = nullptr;
    decltype(&gsasl_property_set) propertySet = nullptr;
    decltype(&gsasl_step) step = nullptr;
    decltype(&gsasl_free) free = nullptr;
    decltype(&gsasl_strerror) strerror = nullptr;
    QString failure; // why the library is not there; empty when it is
};

template <typename Fn> bool Resolve(void *library, const char *name, Fn &slot) {
    slot = reinterpret_cast<Fn>(::dlsym(library, name));
    return slot != nullptr;
}

const GsaslApi &GnuSasl() {
    static const GsaslApi api = [] {
        GsaslApi a;
        void *library = ::dlopen("libgsasl.so.18", RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
        if (!library) {
            a.failure = QStringLiteral("libgsasl.so.18 could not be loaded (%1)")
                            .arg(QString::fromLocal8Bit(::dlerror()));
            return a;
        }
        if (!Resolve(library, "gsasl_init", a.init) || !Resolve(library, "gsasl_done", a.done) ||
            !Resolve(library, "gsasl_client_start", a.clientStart) ||
            !Resolve(library, "gsasl_finish", a.finish) ||
            !Resolve(library, "gsasl_property_set", a.propertySet) ||
            !Resolve(library, "gsasl_step", a.step) || !Resolve(library, "gsasl_free", a.free) ||
            !Resolve(library, "gsasl_strerror", a.strerror))
            a.failure =
                QStringLiteral("libgsasl.so.18 lacks %1").arg(QString::fromLocal8Bit(::dlerror()));
        return a;
    }();
    return api;
}

} // namespace

struct Client::Library {
    Gsasl *context = nullptr;
    Gsasl_session *session = nullptr;
    ~Library() {
        if (session)
            GnuSasl().finish(session);
        if (context)
            GnuSasl().done(context);
    }
};

Client::Client(Mechanism mechanism, const Credentials &credentials)
    : m_mechanism(mechanism), m_credentials(credentials) {
    if (IsBearer(mechanism))
        return;
    const GsaslApi &gsasl = GnuSasl();
    if (!gsasl.failure.isEmpty()) {
        m_error =
            QStringLiteral("%1 is not available: %2").arg(MechanismName(mechanism), gsasl.failure);
        return;
    }
    m_library = std::make_unique<Library>();
    int rc = gsasl.init(&m_library->context);
    if (rc == GSASL_OK)
        rc = gsasl.clientStart(m_library->context, MechanismName(mechanism).toLatin1().constData(),
                               &m_library->session);
    if (rc != GSASL_OK) {
        m_error = QStringLiteral("%1 is not available: %2")
                      .arg(MechanismName(mechanism), QString::fromUtf8(gsasl.strerror(rc)));
        m_library.reset();
        return;
    }
    // The library prepares (SASLprep) and encodes the texts itself; it
    // takes them as UTF-8.
    gsasl.propertySet(m_library->session, GSASL_AUTHID, credentials.user.toUtf8().constData());
    gsasl.propertySet(m_library->session, GSASL_PASSWORD,
                      credentials.password.toUtf8().constData());
}

Client::~Client() = default;

std::optional<QByteArray> Client::initialResponse() {
    switch (m_mechanism) {
    case Mechanism::CramMd5:
    case Mechanism::Login:
        return std::nullopt;
    case Mechanism::XOAuth2:
    case Mechanism::OAuthBearer:
        m_started = m_finished = true;
        return bearerLine();
    case Mechanism::ScramSha256:
    case Mechanism::ScramSha1:
    case Mechanism::Plain:
        return libraryStep(QByteArray());
    }
    return std::nullopt;
}

std::optional<QByteArray> Client::respond(const QByteArray &challenge) {
    if (IsBearer(m_mechanism)) {
        if (!m_started) {
            // The server asked for the first response with an empty 334.
            m_started = m_finished = true;
            return bearerLine();
        }
        // A challenge after the token is the server's error report (RFC
        // 7628 section 3.2.2, and XOAUTH2 alike): acknowledge it so that
        // the server can finish with its failure reply.
        m_finished = false;
        m_error = QStringLiteral("the server refused the token: %1")
                      .arg(QString::fromUtf8(challenge).trimmed());
        return m_mechanism == Mechanism::OAuthBearer ? QByteArray("\x01") : QByteArray();
    }
    if (IsScram(m_mechanism)) {
        if (const std::optional<qint64> n = ScramIterations(challenge);
            n && (*n < 0 || *n > kMaxScramIterations)) {
            m_error = QStringLiteral("%1: the server asks for %2 iterations; at most %3 are "
                                     "computed (servers use 4,096 to 15,000)")
                          .arg(MechanismName(m_mechanism),
                               *n < 0 ? QStringLiteral("more than 10^18") : QString::number(*n),
                               QString::number(kMaxScramIterations));
            m_library.reset();
            return std::nullopt;
        }
    }
    return libraryStep(challenge);
}

std::optional<QByteArray> Client::libraryStep(const QByteArray &input) {
    if (!m_library) {
        if (m_error.isEmpty())
            m_error = QStringLiteral("the exchange has ended");
        return std::nullopt;
    }
    if (m_finished) {
        // Nothing is left to say; an empty answer lets the server finish.
        return QByteArray();
    }
    m_started = true;
    char *output = nullptr;
    size_t outputLength = 0;
    const GsaslApi &gsasl = GnuSasl();
    const int rc = gsasl.step(m_library->session, input.constData(),
                              static_cast<size_t>(input.size()), &output, &outputLength);
    QByteArray response(output ? output : "", static_cast<qsizetype>(output ? outputLength : 0));
    gsasl.free(output);
    if (rc == GSASL_OK) {
        m_finished = true;
        return response;
    }
    if (rc == GSASL_NEEDS_MORE)
        return response;
    m_error = QStringLiteral("%1 failed: %2")
                  .arg(MechanismName(m_mechanism), QString::fromUtf8(gsasl.strerror(rc)));
    m_library.reset();
    return std::nullopt;
}

std::optional<QByteArray> Client::bearerLine() const {
    const QByteArray user = m_credentials.user.toUtf8();
    const QByteArray token = m_credentials.token.toUtf8();
    if (m_mechanism == Mechanism::XOAuth2)
        return "user=" + user +
               "\x01"
               "auth=Bearer " +
               token + "\x01\x01";
    // RFC 7628 section 3.1: a GS2 header naming the user (",", "=" escaped
    // as RFC 5801 asks), then key=value pairs separated by ^A.
    QByteArray escaped = user;
    escaped.replace("=", "=3D").replace(",", "=2C");
    QByteArray line = "n,a=" + escaped + ",\x01";
    if (!m_credentials.host.isEmpty())
        line += "host=" + m_credentials.host.toUtf8() + "\x01";
    if (m_credentials.port != 0)
        line += "port=" + QByteArray::number(m_credentials.port) + "\x01";
    return line + "auth=Bearer " + token + "\x01\x01";
}

} // namespace sasl
