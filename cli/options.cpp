#include "cli/options.h"

#include "cli/queue_command.h"
#include "cli/sendmail/arguments.h"
#include "net/host_text.h"

#include "sasl/sasl_client.h"

#include <QHostAddress>
#include <QRegularExpression>

#include <functional>
#include <vector>

namespace kelmsend {

namespace {

// Why an option failed: the text after "--name: ".
struct Problem {
    QString text;
};

using Apply = std::function<void(Options &, const QString &)>;

// Which commands an option belongs to.
enum Scope {
    SendOnly, // sending (and --dry-run)
    Link,     // sending and probe: where to connect and how
    Anywhere, // sending and the utility commands
};

struct OptionInfo {
    const char *name;      // long name without "--"
    char shortName;        // 0 for none
    const char *valueName; // nullptr for a switch
    const char *help;
    Scope scope;
    Apply apply;
};

int wholeNumber(const QString &text, int low, int high, const QString &what) {
    bool ok = false;
    const int n = text.trimmed().toInt(&ok, 10);
    if (!ok || n < low || n > high) {
        throw Problem{"must be " + what + " from " + QString::number(low) + " to " +
                      QString::number(high) + ", not \"" + text + "\""};
    }
    return n;
}

int portNumber(const QString &text) {
    return wholeNumber(text, 1, 65535, QStringLiteral("a port number"));
}

// Entries of list properties travel to the component joined with the one
// character that kelmsend uses as its delimiter, so none may hold it.
void checkEntries(const QStringList &entries) {
    for (const QString &e : entries) {
        if (e.contains(QChar(0x1F))) {
            throw Problem{QStringLiteral("holds the control character U+001F")};
        }
    }
}

void addAddresses(QStringList &list, const QString &value) {
    const QStringList entries = SplitAddresses(value);
    if (entries.isEmpty()) {
        throw Problem{QStringLiteral("needs an address")};
    }
    checkEntries(entries);
    list += entries;
}

void addNames(QStringList &list, const QString &value) {
    const QStringList entries = SplitNames(value);
    checkEntries(entries);
    list += entries;
}

QString nonEmpty(const QString &value, const char *what) {
    if (value.trimmed().isEmpty()) {
        throw Problem{QStringLiteral("needs ") + QLatin1String(what)};
    }
    return value;
}

void setServer(Options &o, const QString &value) {
    const HostAndPort server = SplitHostAndPort(value);
    if (!server.error.isEmpty()) {
        throw Problem{server.error};
    }
    if (server.port != 0) {
        if (o.port != 0 && o.port != server.port) {
            throw Problem{QStringLiteral("names port ") + QString::number(server.port) +
                          QStringLiteral(", but --port names ") + QString::number(o.port)};
        }
        o.port = server.port;
    }
    o.server = server.host;
}

void setPort(Options &o, const QString &value) {
    const int port = portNumber(value);
    if (o.port != 0 && o.port != port) {
        throw Problem{QStringLiteral("names port ") + QString::number(port) +
                      QStringLiteral(", but --server names ") + QString::number(o.port)};
    }
    o.port = port;
}

void setPriority(Options &o, const QString &value) {
    static const QList<QPair<QString, int>> words{{"high", 1}, {"1", 1},   {"normal", 3},
                                                  {"3", 3},    {"low", 5}, {"5", 5}};
    for (const auto &[word, number] : words) {
        if (value.trimmed().compare(word, Qt::CaseInsensitive) == 0) {
            o.priority = number;
            o.prioritySet = true;
            return;
        }
    }
    throw Problem{"must be high, normal or low, not \"" + value + "\""};
}

void setTls(Options &o, const QString &value) {
    static const QList<QPair<QString, sendmail::TlsMode>> words{
        {"none", sendmail::TlsMode::None},
        {"opportunistic", sendmail::TlsMode::Opportunistic},
        {"starttls", sendmail::TlsMode::Required},
        {"implicit", sendmail::TlsMode::Implicit}};
    for (const auto &[word, mode] : words) {
        if (value.trimmed().compare(word, Qt::CaseInsensitive) == 0) {
            o.tls = mode;
            return;
        }
    }
    throw Problem{"must be none, opportunistic, starttls or implicit, not \"" + value + "\""};
}

void setAuthMech(Options &o, const QString &value) {
    const QString v = value.trimmed();
    if (v.compare(QLatin1String("auto"), Qt::CaseInsensitive) == 0) {
        o.authMech.clear();
        return;
    }
    const std::optional<sasl::Mechanism> m = sasl::MechanismFromName(v);
    if (!m) {
        throw Problem{"must be auto or one of SCRAM-SHA-256, SCRAM-SHA-1, CRAM-MD5, PLAIN, LOGIN, "
                      "XOAUTH2, OAUTHBEARER, not \"" +
                      value + "\""};
    }
    o.authMech = sasl::MechanismName(*m);
}

} // namespace

std::optional<bool> SwitchWord(const QString &value) {
    static const QStringList yes{"true", "yes", "on", "1"};
    static const QStringList no{"false", "no", "off", "0"};
    const QString v = value.trimmed().toLower();
    if (yes.contains(v)) {
        return true;
    }
    if (no.contains(v)) {
        return false;
    }
    return std::nullopt;
}

namespace {

void setVerbosity(Options &o, Verbosity v) {
    // The louder setting wins when several are given.
    if (v == Verbosity::Quiet) {
        if (o.verbosity == Verbosity::Default) {
            o.verbosity = v;
        }
    } else if (o.verbosity < v) {
        o.verbosity = v;
    }
}

const std::vector<OptionInfo> &optionTable() {
    static const std::vector<OptionInfo> table{
        {"server", 0, "HOST[:PORT]", "SMTP server (default: the MX lookup of the machine's domain)",
         Link, setServer},
        {"port", 0, "PORT", "SMTP port (default 25)", Link, setPort},
        {"from", 0, "ADDRESS", "sender address (required)", SendOnly,
         [](Options &o, const QString &v) { o.from = nonEmpty(v, "an address").trimmed(); }},
        {"from-name", 0, "NAME", "sender display name", SendOnly,
         [](Options &o, const QString &v) { o.fromName = v; }},
        {"to", 0, "ADDRESS", "recipient; repeat it, or separate addresses with \";\" or \",\"",
         SendOnly, [](Options &o, const QString &v) { addAddresses(o.to, v); }},
        {"to-name", 0, "NAME", "display name of the --to address at the same position", SendOnly,
         [](Options &o, const QString &v) { addNames(o.toNames, v); }},
        {"cc", 0, "ADDRESS", "copy recipient, like --to", SendOnly,
         [](Options &o, const QString &v) { addAddresses(o.cc, v); }},
        {"cc-name", 0, "NAME", "display name of the --cc address at the same position", SendOnly,
         [](Options &o, const QString &v) { addNames(o.ccNames, v); }},
        {"bcc", 0, "ADDRESS", "blind copy recipient (envelope only), like --to", SendOnly,
         [](Options &o, const QString &v) { addAddresses(o.bcc, v); }},
        {"reply-to", 0, "ADDRESS", "address for replies", SendOnly,
         [](Options &o, const QString &v) { o.replyTo = v.trimmed(); }},
        {"subject", 's', "TEXT", "subject line", SendOnly,
         [](Options &o, const QString &v) { o.subject = v; }},
        {"body", 0, "TEXT", "message text (default: standard input)", SendOnly,
         [](Options &o, const QString &v) { o.body = v; }},
        {"body-file", 0, "FILE", "read the message text from FILE (\"-\": standard input)",
         SendOnly, [](Options &o, const QString &v) { o.bodyFile = nonEmpty(v, "a file name"); }},
        {"html", 0, nullptr, "the message text is HTML", SendOnly,
         [](Options &o, const QString &) { o.html = true; }},
        {"content-base", 0, "URL", "base address for relative references in the HTML", SendOnly,
         [](Options &o, const QString &v) { o.contentBase = nonEmpty(v, "an address"); }},
        {"attach", 'a', "FILE", "attach a file; repeat it for more files", SendOnly,
         [](Options &o, const QString &v) {
             o.attachments << nonEmpty(v, "a file name");
             checkEntries(o.attachments);
         }},
        {"uuencode", 0, nullptr, "plain message with uuencoded attachments instead of MIME",
         SendOnly, [](Options &o, const QString &) { o.uuencode = true; }},
        {"priority", 0, "high|normal|low", "message priority (default normal)", SendOnly,
         setPriority},
        {"receipt", 0, nullptr, "ask for a disposition notification (read receipt)", SendOnly,
         [](Options &o, const QString &) { o.receipt = true; }},
        {"hello", 0, "NAME", "name announced after EHLO/HELO (default: the sender's domain)", Link,
         [](Options &o, const QString &v) { o.hello = nonEmpty(v, "a name"); }},
        {"auth", 0, nullptr, "log in (needs --user and a password or an OAuth token)", SendOnly,
         [](Options &o, const QString &) { o.auth = true; }},
        {"auth-mech", 0, "NAME|auto",
         "SASL mechanism for --auth (default auto: the strongest offered)", SendOnly, setAuthMech},
        {"user", 0, "NAME", "user name for --auth and --pop3", SendOnly,
         [](Options &o, const QString &v) { o.user = nonEmpty(v, "a name"); }},
        {"password-env", 0, "NAME",
         "take the password from variable NAME (default KELMSEND_PASSWORD)", SendOnly,
         [](Options &o, const QString &v) {
             o.passwordEnv = nonEmpty(v, "a variable name");
             o.passwordEnvSet = true;
         }},
        {"password-file", 0, "FILE", "take the password from the first line of FILE", SendOnly,
         [](Options &o, const QString &v) { o.passwordFile = nonEmpty(v, "a file name"); }},
        {"password-command", 0, "COMMAND",
         "the password is the first line COMMAND prints (run by /bin/sh)", SendOnly,
         [](Options &o, const QString &v) { o.passwordCommand = nonEmpty(v, "a command"); }},
        {"oauth-token-env", 0, "NAME", "OAuth bearer token for --auth from variable NAME", SendOnly,
         [](Options &o, const QString &v) { o.oauthTokenEnv = nonEmpty(v, "a variable name"); }},
        {"oauth-token-file", 0, "FILE", "OAuth bearer token for --auth: first line of FILE",
         SendOnly,
         [](Options &o, const QString &v) { o.oauthTokenFile = nonEmpty(v, "a file name"); }},
        {"oauth-token-command", 0, "CMD",
         "the OAuth token is the first line CMD prints, before each login", SendOnly,
         [](Options &o, const QString &v) { o.oauthTokenCommand = nonEmpty(v, "a command"); }},
        {"oauth-provider", 0, "NAME",
         "sign in with microsoft, google or custom (see kelmsend auth)", SendOnly,
         [](Options &o, const QString &v) {
             if (!oauth::FindPreset(v.trimmed())) {
                 throw Problem{"must be microsoft, google or custom, not \"" + v + "\""};
             }
             o.oauth.provider = v.trimmed().toLower();
         }},
        {"oauth-client-id", 0, "ID", "the client id you registered with the provider", SendOnly,
         [](Options &o, const QString &v) { o.oauth.clientId = nonEmpty(v, "an id").trimmed(); }},
        {"oauth-client-secret", 0, "TEXT", "the client secret, when the provider issued one",
         SendOnly,
         [](Options &o, const QString &v) { o.oauth.clientSecret = nonEmpty(v, "a secret"); }},
        {"oauth-scope", 0, "SCOPE", "the scope asked for (default: the provider's for SMTP)",
         SendOnly, [](Options &o, const QString &v) { o.oauth.scope = nonEmpty(v, "a scope"); }},
        {"oauth-auth-url", 0, "URL", "the provider's authorization endpoint", SendOnly,
         [](Options &o, const QString &v) {
             o.oauth.authUrl = nonEmpty(v, "an address").trimmed();
         }},
        {"oauth-token-url", 0, "URL", "the provider's token endpoint", SendOnly,
         [](Options &o, const QString &v) {
             o.oauth.tokenUrl = nonEmpty(v, "an address").trimmed();
         }},
        {"oauth-device-url", 0, "URL", "the provider's device authorization endpoint", SendOnly,
         [](Options &o, const QString &v) {
             o.oauth.deviceUrl = nonEmpty(v, "an address").trimmed();
         }},
        {"oauth-flow", 0, "FLOW", "device or browser (default: the provider's)", SendOnly,
         [](Options &o, const QString &v) { o.oauth.flow = nonEmpty(v, "a flow"); }},
        {"token-store", 0, "STORE", "secret-service or file: where auth login keeps the tokens",
         SendOnly,
         [](Options &o, const QString &v) { o.oauth.tokenStore = nonEmpty(v, "a store"); }},
        {"allow-plaintext-auth", 0, nullptr,
         "allow --auth over --tls none, and --pop3, to a remote server", SendOnly,
         [](Options &o, const QString &) { o.allowPlaintextAuth = true; }},
        {"tls", 0, "MODE", "none, opportunistic, starttls or implicit (default: see TLS below)",
         Link, setTls},
        {"tls-ca", 0, "FILE", "also trust the certificates (PEM) in FILE", Link,
         [](Options &o, const QString &v) { o.tlsCa = nonEmpty(v, "a file name"); }},
        {"tls-fingerprint", 0, "HEX", "accept only the certificate with this SHA-256 fingerprint",
         Link,
         [](Options &o, const QString &v) {
             if (!sendmail::ParseFingerprint(v)) {
                 throw Problem{"must be 64 hex digits (colons optional), not \"" + v + "\""};
             }
             o.tlsFingerprint = v.trimmed();
         }},
        {"tls-insecure", 0, nullptr, "do not verify the server's certificate (warns every time)",
         Link, [](Options &o, const QString &) { o.tlsInsecure = true; }},
        {"pop3", 0, "HOST", "log in to this POP3 server (port 110) before sending", SendOnly,
         [](Options &o, const QString &v) { o.pop3Host = nonEmpty(v, "a host").trimmed(); }},
        {"timeout", 0, "SECONDS", "time limit to connect and for the greeting (1-120, default 30)",
         Link,
         [](Options &o, const QString &v) {
             o.connectTimeout = wholeNumber(v, 1, 120, QStringLiteral("a number of seconds"));
         }},
        {"message-timeout", 0, "SECONDS", "time limit for each reply while sending (default 60)",
         SendOnly,
         [](Options &o, const QString &v) {
             o.messageTimeout = wholeNumber(v, 1, 86400, QStringLiteral("a number of seconds"));
         }},
        {"retries", 0, "N", "connection attempts (1-20, default 4)", SendOnly,
         [](Options &o, const QString &v) {
             o.retries = wholeNumber(v, 1, 20, QStringLiteral("a number"));
         }},
        {"no-validate", 0, nullptr, "do not check addresses and host names before sending",
         SendOnly, [](Options &o, const QString &) { o.noValidate = true; }},
        {"no-pipelining", 0, nullptr, "wait for the reply to each command (pipelining is on)",
         SendOnly, [](Options &o, const QString &) { o.noPipelining = true; }},
        {"dry-run", 0, nullptr, "write the bytes that would follow DATA to stdout; no connection",
         SendOnly, [](Options &o, const QString &) { o.dryRun = true; }},
        {"account", 0, "NAME", "use account [NAME] of the configuration file (default: [default])",
         SendOnly,
         [](Options &o, const QString &v) { o.account = nonEmpty(v, "a name").trimmed(); }},
        {"config", 0, "FILE", "configuration file (default: ~/.config/kelmsend/config)", SendOnly,
         [](Options &o, const QString &v) { o.config = nonEmpty(v, "a file name"); }},
        {"queue-dir", 0, "FOLDER", "the queue folder (default: ~/.local/state/kelmsend/queue)",
         SendOnly, [](Options &o, const QString &v) { o.queueDir = nonEmpty(v, "a folder"); }},
        {"queue-backoff", 0, "T[,MAX]",
         "wait T after a deferred try, doubling up to MAX (default 5m,1h)", SendOnly,
         [](Options &o, const QString &v) {
             if (!outbox::ParseBackoff(v, o.queuePolicy)) {
                 throw Problem{"must be FIRST or FIRST,MAX, durations such as 5m or 1h with MAX "
                               "not below FIRST, not \"" +
                               v + "\""};
             }
         }},
        {"queue-lifetime", 0, "DURATION",
         "how long a deferred message is tried before it fails (default 5d)", SendOnly,
         [](Options &o, const QString &v) {
             const std::optional<outbox::Seconds> d = outbox::ParseDuration(v);
             if (!d) {
                 throw Problem{"must be a duration such as 30m, 12h or 5d, not \"" + v + "\""};
             }
             o.queuePolicy.lifetime = *d;
         }},
        {"uncertain", 0, "retry|hold",
         "lost after the final \".\": try again, or hold for queue retry", SendOnly,
         [](Options &o, const QString &v) {
             const QString w = v.trimmed().toLower();
             if (w != QLatin1String("retry") && w != QLatin1String("hold")) {
                 throw Problem{"must be retry or hold, not \"" + v + "\""};
             }
             o.queuePolicy.holdUncertain = w == QLatin1String("hold");
         }},
        {"notify", 0, "true|false",
         "mail the sender a notice when a recipient fails (default true)", SendOnly,
         [](Options &o, const QString &v) {
             const std::optional<bool> on = SwitchWord(v);
             if (!on) {
                 throw Problem{"must be true or false, not \"" + v + "\""};
             }
             o.queuePolicy.notify = *on;
         }},
        {"log-file", 0, "FILE", "append a line per delivery attempt to FILE (made 0600)", SendOnly,
         [](Options &o, const QString &v) { o.logFile = nonEmpty(v, "a file name"); }},
        {"syslog", 0, nullptr, "also log each delivery attempt to syslog (mail facility)", SendOnly,
         [](Options &o, const QString &) { o.syslog = true; }},
        {"no-queue", 0, nullptr, "sendmail mode: send directly, without storing in the queue",
         SendOnly, [](Options &o, const QString &) { o.noQueue = true; }},
        {"queue", 0, nullptr, "store the message in the queue, then try it (as sendmail mode)",
         SendOnly, [](Options &o, const QString &) { o.useQueue = true; }},
        {"quiet", 'q', nullptr, "report errors only", Anywhere,
         [](Options &o, const QString &) { setVerbosity(o, Verbosity::Quiet); }},
        {"verbose", 'v', nullptr, "report progress texts even when not on a terminal", Anywhere,
         [](Options &o, const QString &) { setVerbosity(o, Verbosity::Verbose); }},
        {"trace", 0, nullptr, "report progress texts and the protocol trace", Anywhere,
         [](Options &o, const QString &) { setVerbosity(o, Verbosity::Trace); }},
        {"help", 'h', nullptr, "show this help and exit", Anywhere,
         [](Options &o, const QString &) { o.command = Command::Help; }},
        {"version", 0, nullptr, "show the version and exit", Anywhere,
         [](Options &o, const QString &) {
             if (o.command != Command::Help) {
                 o.command = Command::Version;
             }
         }},
    };
    return table;
}

const OptionInfo *findLong(const QString &name) {
    for (const OptionInfo &s : optionTable()) {
        if (name == QLatin1String(s.name)) {
            return &s;
        }
    }
    return nullptr;
}

const OptionInfo *findShort(QChar c) {
    for (const OptionInfo &s : optionTable()) {
        if (s.shortName != 0 && c == QLatin1Char(s.shortName)) {
            return &s;
        }
    }
    return nullptr;
}

const QString kPasswordRefused = QStringLiteral(
    "--password is not accepted: a password on the command line can be read by every user "
    "of the machine (ps, /proc) and stays in the shell's history; use --password-env NAME "
    "(default KELMSEND_PASSWORD) or --password-file FILE");

QString commandName(Command c) {
    switch (c) {
    case Command::Mx:
        return QStringLiteral("mx");
    case Command::Ping:
        return QStringLiteral("ping");
    case Command::Resolve:
        return QStringLiteral("resolve");
    case Command::ContentType:
        return QStringLiteral("content-type");
    case Command::Probe:
        return QStringLiteral("probe");
    case Command::Send:
    case Command::Help:
    case Command::Version:
        break;
    }
    return QString();
}

// What applies only with --auth; from kFirstSignInOption on, only with
// --oauth-provider.
const QStringList kAuthOnlyOptions{
    "--auth-mech",      "--oauth-token-env", "--oauth-token-file",    "--oauth-token-command",
    "--oauth-provider", "--oauth-client-id", "--oauth-client-secret", "--oauth-scope",
    "--oauth-auth-url", "--oauth-token-url", "--oauth-device-url",    "--oauth-flow",
    "--token-store"};
constexpr qsizetype kFirstSignInOption = 5;

// The sources of the password, in the order their names are listed.
const QStringList kPasswordSources{"--password-env", "--password-file", "--password-command"};

QStringList passwordSourcesSet(const Options &o) {
    QStringList set;
    if (o.passwordEnvSet) {
        set << kPasswordSources[0];
    }
    if (!o.passwordFile.isEmpty()) {
        set << kPasswordSources[1];
    }
    if (!o.passwordCommand.isEmpty()) {
        set << kPasswordSources[2];
    }
    return set;
}

// The sources of an OAuth token exclude each other; the sign-in keys need
// --oauth-provider and hold together (oauth::Resolve); a token goes with
// an OAuth mechanism.
QString checkTokenSources(const Options &o) {
    QStringList sources;
    for (const auto &[option, value] : {std::pair{"--oauth-token-env", o.oauthTokenEnv},
                                        {"--oauth-token-file", o.oauthTokenFile},
                                        {"--oauth-token-command", o.oauthTokenCommand},
                                        {"--oauth-provider", o.oauth.provider}}) {
        if (!value.isEmpty()) {
            sources << QLatin1String(option);
        }
    }
    if (sources.size() > 1) {
        return sources[0] + " and " + sources[1] + " exclude each other";
    }
    if (!o.auth) {
        for (const QString &option : kAuthOnlyOptions) {
            if (o.isGiven(option)) {
                return option + QStringLiteral(" applies only with --auth");
            }
        }
        return QString();
    }
    if (!o.signsIn()) {
        for (const QString &option : kAuthOnlyOptions.mid(kFirstSignInOption)) {
            if (o.isGiven(option)) {
                return option + QStringLiteral(" applies only with --oauth-provider");
            }
        }
    }
    if ((o.signsIn() || !o.oauthTokenCommand.isEmpty()) && !o.authMech.isEmpty() &&
        o.authMech != QLatin1String("XOAUTH2") && o.authMech != QLatin1String("OAUTHBEARER")) {
        return sources.value(0) + " needs --auth-mech xoauth2, oauthbearer or auto, not " +
               o.authMech;
    }
    if (o.signsIn()) {
        if (const oauth::Resolved r = oauth::Resolve(o.accountName(), o.oauth); !r.config) {
            return "account " + o.accountName() + ": " + r.error;
        }
    }
    return QString();
}

} // namespace

QString ApplyProviderDefaults(Options &o) {
    if (!o.auth || !o.signsIn() || !o.server.isEmpty()) {
        return QString();
    }
    const std::optional<oauth::Preset> preset = oauth::FindPreset(o.oauth.provider);
    if (preset && !preset->server.isEmpty()) {
        o.server = preset->server;
        if (o.port == 0) {
            o.port = preset->port;
        }
    }
    return QString();
}

// The rules that tie options together, for a send.
QString CheckOptions(const Options &o) {
    if (o.from.isEmpty()) {
        return QStringLiteral("--from is required");
    }
    if (o.recipientCount() == 0) {
        return QStringLiteral("no recipient: give --to, --cc, --bcc or a RECIPIENT argument");
    }
    if (o.recipientCount() > kMaxRecipients) {
        return QStringLiteral("too many recipients: ") + QString::number(o.recipientCount()) +
               QStringLiteral(", at most ") + QString::number(kMaxRecipients) +
               QStringLiteral(" per message");
    }
    if (o.toNames.size() > o.to.size()) {
        return QStringLiteral("--to-name: ") + QString::number(o.toNames.size()) +
               QStringLiteral(" names for ") + QString::number(o.to.size()) +
               QStringLiteral(" recipients");
    }
    if (o.ccNames.size() > o.cc.size()) {
        return QStringLiteral("--cc-name: ") + QString::number(o.ccNames.size()) +
               QStringLiteral(" names for ") + QString::number(o.cc.size()) +
               QStringLiteral(" copy recipients");
    }
    if (o.body && !o.bodyFile.isEmpty()) {
        return QStringLiteral("--body and --body-file exclude each other");
    }
    if (o.html && o.uuencode) {
        return QStringLiteral(
            "--html cannot be combined with --uuencode: HTML needs a MIME message");
    }
    if (!o.contentBase.isEmpty() && !o.html) {
        return QStringLiteral("--content-base applies only with --html");
    }
    return CheckLogin(o);
}

QString CheckLogin(const Options &o) {
    if (o.logsIn() && o.user.isEmpty()) {
        return (o.auth ? QStringLiteral("--auth") : QStringLiteral("--pop3")) +
               QStringLiteral(" needs --user NAME");
    }
    const QStringList sources = passwordSourcesSet(o);
    if (!o.logsIn()) {
        if (!o.user.isEmpty() && o.isGiven(QStringLiteral("--user"))) {
            return QStringLiteral("--user applies only with --auth or --pop3");
        }
        if (o.isGiven(kPasswordSources[0]) || o.isGiven(kPasswordSources[1])) {
            return QStringLiteral("--password-env and --password-file apply only with --auth or "
                                  "--pop3");
        }
        if (o.isGiven(kPasswordSources[2])) {
            return QStringLiteral("--password-command applies only with --auth or --pop3");
        }
    }
    if (sources.size() > 1) {
        return sources[0] + " and " + sources[1] + " exclude each other";
    }
    if (const QString problem = checkTokenSources(o); !problem.isEmpty()) {
        return problem;
    }
    if (o.auth && EffectiveTlsMode(o) == sendmail::TlsMode::None && !o.allowPlaintextAuth &&
        !IsLoopbackHost(o.server)) {
        return "--auth with --tls none would send the credentials in clear text to " +
               (o.server.isEmpty() ? QStringLiteral("the mail exchanger") : o.server) +
               "; use --tls starttls or --tls implicit, or --allow-plaintext-auth";
    }
    // POP3 runs without TLS: USER and PASS travel as they are.
    if (!o.pop3Host.isEmpty() && !o.allowPlaintextAuth && !IsLoopbackHost(o.pop3Host)) {
        return "--pop3 would send the password in clear text to " + o.pop3Host +
               " (POP3 is spoken without TLS); use a POP3 server on this machine, or "
               "--allow-plaintext-auth";
    }
    return QString();
}

bool IsLoopbackHost(const QString &host) {
    const QString h = host.trimmed().toLower();
    if (h == QLatin1String("localhost") || h.endsWith(QLatin1String(".localhost"))) {
        return true;
    }
    const QHostAddress address(h);
    return !address.isNull() && address.isLoopback();
}

sendmail::TlsMode EffectiveTlsMode(const Options &o) {
    if (o.tls) {
        return *o.tls;
    }
    if (o.port == 465) {
        return sendmail::TlsMode::Implicit;
    }
    if (!o.server.isEmpty() && !IsLoopbackHost(o.server)) {
        return sendmail::TlsMode::Required;
    }
    return sendmail::TlsMode::Opportunistic;
}

QStringList SplitAddresses(const QString &value) {
    QStringList out;
    for (const QString &piece : value.split(QRegularExpression(QStringLiteral("[;,]")))) {
        const QString entry = piece.trimmed();
        if (!entry.isEmpty()) {
            out << entry;
        }
    }
    return out;
}

QStringList SplitNames(const QString &value) {
    QStringList out;
    for (const QString &piece : value.split(QLatin1Char(';'))) {
        out << piece.trimmed();
    }
    return out;
}

OptionKind LongOptionKind(const QString &name) {
    const OptionInfo *info = findLong(name);
    if (!info) {
        return OptionKind::Unknown;
    }
    return info->valueName ? OptionKind::Value : OptionKind::Switch;
}

QString ApplyLongOption(Options &o, const QString &name, const QString &value) {
    const OptionInfo *info = findLong(name);
    if (!info) {
        return QStringLiteral("unknown option");
    }
    try {
        info->apply(o, value);
    } catch (const Problem &p) {
        return p.text;
    }
    return QString();
}

const QStringList &AccountKeys() {
    static const QStringList keys{"server",
                                  "port",
                                  "hello",
                                  "from",
                                  "from-name",
                                  "auth",
                                  "user",
                                  "password-env",
                                  "password-file",
                                  "password-command",
                                  "auth-mech",
                                  "oauth-token-env",
                                  "oauth-token-file",
                                  "oauth-token-command",
                                  "oauth-provider",
                                  "oauth-client-id",
                                  "oauth-client-secret",
                                  "oauth-scope",
                                  "oauth-auth-url",
                                  "oauth-token-url",
                                  "oauth-device-url",
                                  "oauth-flow",
                                  "token-store",
                                  "allow-plaintext-auth",
                                  "tls",
                                  "tls-ca",
                                  "tls-fingerprint",
                                  "tls-insecure",
                                  "pop3",
                                  "timeout",
                                  "message-timeout",
                                  "retries",
                                  "no-pipelining",
                                  "no-validate",
                                  "quiet",
                                  "verbose",
                                  "trace",
                                  "queue-dir",
                                  "queue-backoff",
                                  "queue-lifetime",
                                  "uncertain",
                                  "notify",
                                  "log-file",
                                  "syslog",
                                  "no-queue"};
    return keys;
}

bool IsAccountKey(const QString &name) {
    return AccountKeys().contains(name);
}

ParseResult ParseCommandLine(const QStringList &arguments) {
    ParseResult r = ParseArguments(arguments);
    if (r.options && r.options->command == Command::Send) {
        if (QString problem = CheckOptions(*r.options); !problem.isEmpty()) {
            return {std::nullopt, problem};
        }
    }
    return r;
}

ParseResult ParseArguments(const QStringList &arguments) {
    QStringList args_ = arguments;
    const QStringList &args = args_;
    Options o;
    qsizetype i = 0;
    if (!args.isEmpty()) {
        static const QList<QPair<QString, Command>> commands{
            {"mx", Command::Mx},           {"ping", Command::Ping},
            {"resolve", Command::Resolve}, {"content-type", Command::ContentType},
            {"probe", Command::Probe},     {"help", Command::Help}};
        for (const auto &[word, command] : commands) {
            if (args[0] == word) {
                o.command = command;
                i = 1;
            }
        }
    }
    const Command utility = o.command; // Send unless the first word named a utility
    QStringList positional;
    bool optionsEnded = false;
    QStringList usedSendOptions;

    for (; i < args.size(); ++i) {
        const QString arg = args[i]; // a copy: a cluster of switches grows the list
        if (optionsEnded || arg == QLatin1String("-") || !arg.startsWith(QLatin1Char('-'))) {
            if (utility != Command::Send) {
                positional << arg;
                continue;
            }
            // A recipient: it joins --to where it stands, so that --to-name
            // pairs with the addresses in command-line order.
            try {
                addAddresses(o.to, arg);
            } catch (const Problem &p) {
                return {std::nullopt, "recipient \"" + arg + "\": " + p.text};
            }
            continue;
        }
        if (arg == QLatin1String("--")) {
            optionsEnded = true;
            continue;
        }
        const OptionInfo *info = nullptr;
        QString shown; // the option as the user wrote it, for messages
        std::optional<QString> inlineValue;
        if (arg.startsWith(QLatin1String("--"))) {
            QString name = arg.mid(2);
            const qsizetype eq = name.indexOf(QLatin1Char('='));
            if (eq >= 0) {
                inlineValue = name.mid(eq + 1);
                name = name.left(eq);
            }
            shown = "--" + name;
            if (name == QLatin1String("password")) {
                return {std::nullopt, kPasswordRefused};
            }
            info = findLong(name);
        } else {
            shown = arg.left(2);
            info = findShort(arg[1]);
            if (info && arg.size() > 2) {
                if (info->valueName) {
                    inlineValue = arg.mid(2); // -sSubject
                } else {
                    // A cluster of switches (-qv): this one now, the rest as
                    // the next argument.
                    args_.insert(i + 1, "-" + arg.mid(2));
                }
            }
        }
        if (!info) {
            return {std::nullopt,
                    "unknown option " + shown + " (kelmsend --help lists the options)"};
        }
        const QString longName = QStringLiteral("--") + QLatin1String(info->name);
        QString value;
        if (info->valueName) {
            if (inlineValue) {
                value = *inlineValue;
            } else if (i + 1 < args.size()) {
                value = args[++i];
            } else {
                return {std::nullopt, longName + " needs a value: " + longName + " " +
                                          QLatin1String(info->valueName)};
            }
        } else if (inlineValue) {
            return {std::nullopt, longName + " takes no value"};
        }
        if (info->scope == SendOnly || (info->scope == Link && utility != Command::Probe)) {
            usedSendOptions << longName;
        }
        o.given << longName;
        try {
            info->apply(o, value);
        } catch (const Problem &p) {
            return {std::nullopt, longName + ": " + p.text};
        }
    }

    if (o.command == Command::Help || o.command == Command::Version) {
        return {o, QString()};
    }
    if (utility != Command::Send) {
        const QString name = commandName(utility);
        if (!usedSendOptions.isEmpty()) {
            return {std::nullopt, usedSendOptions.first() + " does not apply to " + name};
        }
        if (utility == Command::Probe) {
            if (!positional.isEmpty()) {
                return {std::nullopt, "probe takes no argument, not \"" + positional[0] +
                                          "\": kelmsend probe --server HOST[:PORT]"};
            }
            if (o.server.isEmpty()) {
                return {std::nullopt, QStringLiteral("probe needs --server HOST[:PORT]")};
            }
            return {o, QString()};
        }
        const bool optional = utility == Command::Mx || utility == Command::Resolve;
        static const QMap<Command, QString> argumentNames{{Command::Mx, "DOMAIN"},
                                                          {Command::Ping, "HOST"},
                                                          {Command::Resolve, "HOST"},
                                                          {Command::ContentType, "FILE"}};
        const QString argName = argumentNames.value(utility);
        if (positional.size() > 1) {
            return {std::nullopt, name + " takes one " + argName + ", not " +
                                      QString::number(positional.size()) + " arguments"};
        }
        if (positional.isEmpty() && !optional) {
            return {std::nullopt,
                    name + " needs a " + argName + ": kelmsend " + name + " " + argName};
        }
        o.argument = positional.value(0);
        return {o, QString()};
    }

    return {o, QString()};
}

HostAndPort SplitHostAndPort(const QString &value) {
    static const QString forms =
        QStringLiteral("takes HOST[:PORT], [IPV6-ADDRESS][:PORT] or a bare IPv6 address");
    const QString text = value.trimmed();
    QString host = text;
    QString portText;
    bool hasPort = false;
    if (text.startsWith(QLatin1Char('['))) {
        const qsizetype close = text.indexOf(QLatin1Char(']'));
        const QString rest = close < 0 ? QString() : text.mid(close + 1);
        if (close < 0 || (!rest.isEmpty() && !rest.startsWith(QLatin1Char(':')))) {
            return {{}, 0, forms};
        }
        host = text.mid(1, close - 1);
        hasPort = !rest.isEmpty();
        portText = rest.mid(1);
        if (!host.isEmpty() && !sendmail::IsIPv6Literal(host)) {
            return {{}, 0, "takes an IPv6 address in brackets, not \"" + host + "\""};
        }
    } else if (text.count(QLatin1Char(':')) > 1 || text.contains(QLatin1Char(']'))) {
        // Several colons: a bare IPv6 address, which cannot carry a port.
        if (!sendmail::IsIPv6Literal(text)) {
            return {{}, 0, forms};
        }
    } else if (const qsizetype colon = text.indexOf(QLatin1Char(':')); colon >= 0) {
        host = text.left(colon);
        hasPort = true;
        portText = text.mid(colon + 1);
    }
    if (host.isEmpty()) {
        return {{}, 0, QStringLiteral("needs a host")};
    }
    int port = 0;
    if (hasPort) {
        try {
            port = portNumber(portText);
        } catch (const Problem &p) {
            return {{}, 0, p.text};
        }
    }
    return {host, port, {}};
}

namespace {

// `text` broken at spaces into lines of at most 80 characters, each after
// `indent`.
QString wrapped(const QString &text, const QString &indent) {
    QString out;
    QString line = indent;
    for (const QString &word : text.split(QLatin1Char(' '))) {
        if (line.size() > indent.size() && line.size() + 1 + word.size() > 80) {
            out += line + QLatin1Char('\n');
            line = indent;
        }
        line += (line.size() > indent.size() ? QStringLiteral(" ") : QString()) + word;
    }
    return out + line + QLatin1Char('\n');
}

} // namespace

QString HelpText() {
    QString text = QStringLiteral(
        "Usage: kelmsend [OPTIONS] [RECIPIENT...]   send one message\n"
        "       kelmsend mx [DOMAIN]                 mail exchanger of DOMAIN (default: the "
        "local domain)\n"
        "       kelmsend ping HOST                   one ICMP echo to HOST\n"
        "       kelmsend resolve [HOST]              IPv4 and IPv6 addresses of HOST (default: "
        "this machine)\n"
        "       kelmsend content-type FILE           content type of FILE by its extension\n"
        "       kelmsend probe --server HOST[:PORT]  what the server offers, TLS certificate "
        "included\n"
        "       kelmsend auth login|status|logout [--account NAME]\n"
        "                                            OAuth sign-in of an account (see below)\n"
        "       kelmsend -t [-i] [-f ADDRESS] [RECIPIENT...] < MESSAGE\n"
        "                                            sendmail mode: relay a finished message\n"
        "       kelmsend queue list [--json]         the queue (also as mailq; see The queue)\n"
        "       kelmsend queue retry|drop ID...      a queued message due again, or removed\n"
        "       kelmsend queue flush [--all]         deliver the due messages (also sendmail -q)\n"
        "\n"
        "The message text comes from --body, --body-file or standard input.\n"
        "Exit status: 0 sent, 1 failed (the reason on standard error), 2 usage error,\n"
        "77 the account's sign-in has expired (kelmsend auth login --account NAME)\n"
        "(sendmail mode: see below).\n"
        "\n"
        "Options:\n");
    QStringList left;
    qsizetype width = 0;
    for (const OptionInfo &s : optionTable()) {
        QString l = s.shortName ? QStringLiteral("-") + QLatin1Char(s.shortName) + ", "
                                : QStringLiteral("    ");
        l += QStringLiteral("--") + QLatin1String(s.name);
        if (s.valueName) {
            l += QLatin1Char(' ') + QLatin1String(s.valueName);
        }
        left << l;
        width = std::max(width, l.size());
    }
    for (std::size_t k = 0; k < optionTable().size(); ++k) {
        text += QStringLiteral("  ") + left[static_cast<qsizetype>(k)].leftJustified(width + 2) +
                QLatin1String(optionTable()[k].help) + QLatin1Char('\n');
    }
    text += QStringLiteral("      --password").leftJustified(width + 4) +
            QStringLiteral("refused: use --password-env or --password-file\n");
    text += QStringLiteral(
        "\n"
        "An IPv6 server is written [ADDRESS]:PORT, or bare when it takes the default port.\n"
        "Display names pair with the addresses in order; \";\" separates several in one\n"
        "--to-name or --cc-name. kelmsend neither reads nor writes the component's per-user\n"
        "settings: every run uses only what its command line says.\n"
        "\n"
        "TLS: without --tls, port 465 takes implicit TLS, another --server STARTTLS (required),\n"
        "and a loopback server or the MX lookup STARTTLS when offered. --auth over --tls none\n"
        "to a server that is not a loopback address is refused without --allow-plaintext-auth;\n"
        "so is --pop3 (spoken without TLS) to a host that is not a loopback address.\n"
        "probe takes --server, --port, --hello, --timeout and the --tls options, and sends no\n"
        "mail; it exits 0 when the server was reached and the TLS settings held.\n");
    text += SendmailHelpText();
    text += QueueHelpText();
    text += QStringLiteral(
        "\n"
        "Accounts: the sections of an INI file (--config, KELMSEND_CONFIG, else\n"
        "$XDG_CONFIG_HOME/kelmsend/config); keys are the long options without \"--\":\n");
    text += wrapped(AccountKeys().join(QStringLiteral(", ")), QStringLiteral("  "));
    text += QStringLiteral(
        "--account NAME picks one, else [default] is used when present; the command line\n"
        "wins. A file with password-file, password-command or oauth-token-file must be\n"
        "private (chmod 600).\n"
        "\n"
        "OAuth: an account with auth, user, oauth-provider (microsoft, google or custom) and\n"
        "oauth-client-id signs in once with kelmsend auth login; each send then uses the\n"
        "stored access token while it lasts and renews it by the refresh token, and renews\n"
        "it once more when the server refuses it. Tokens are kept in the Secret Service, or\n"
        "with token-store = file in $XDG_STATE_HOME/kelmsend/oauth/ACCOUNT (mode 600).\n"
        "\n"
        "Environment:\n"
        "  KELMSEND_CONFIG      the configuration file of the accounts\n"
        "  KELMSEND_PASSWORD    the password for --auth and --pop3 (see --password-env)\n"
        "  KELMSEND_NAMESERVER  ADDRESS[:PORT] or [IPV6-ADDRESS]:PORT of the name server for\n"
        "                       MX lookups, instead of the machine's own\n"
        "  KELMSEND_DOMAIN      with KELMSEND_NAMESERVER: the domain looked up when none is\n"
        "                       given (default: the machine's DNS domain)\n");
    return text;
}

} // namespace kelmsend
