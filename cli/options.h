// The command line of kelmsend, parsed without touching anything outside:
// no file is read, no variable of the environment looked at. What the
// options name (the body file, the password, the attachments) is fetched
// afterwards by cli/inputs.h, so that a usage error never costs a read.
//
//   kelmsend [OPTIONS] [RECIPIENT...]      send one message (or --dry-run)
//   kelmsend mx [DOMAIN]                   the domain's mail exchanger
//   kelmsend ping HOST                     one ICMP echo
//   kelmsend resolve [HOST]                the host's addresses, IPv4 and IPv6
//   kelmsend content-type FILE             the content type of a file name
//   kelmsend probe --server HOST[:PORT]    what a server offers, TLS included (cli/probe.h)
//   kelmsend -t [-i] [-f ADDR] [RCPT...]   sendmail mode (cli/sendmail/arguments.h)
//   kelmsend queue list|retry|drop ...     the queue (cli/queue_command.h; parsed there)
//
// Options take their value as the next argument or after "=" (--subject=Hi).
// "--" ends the options; every later argument is a recipient.
#pragma once

#include "net/tls_policy.h"
#include "oauth/provider.h"
#include "outbox/policy.h"

#include <QString>
#include <QStringList>

#include <optional>

namespace kelmsend {

// Exit statuses.
inline constexpr int kExitSent = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;
// The account's OAuth sign-in has expired (EX_NOPERM): `kelmsend auth login`.
inline constexpr int kExitSignIn = 77;

// The component caps one message at this many envelope recipients.
inline constexpr int kMaxRecipients = 100;

enum class Command {
    Send,        // send one message, or compose it with --dry-run
    Help,        // --help
    Version,     // --version
    Mx,          // mx [DOMAIN]
    Ping,        // ping HOST
    Resolve,     // resolve [HOST]
    ContentType, // content-type FILE
    Probe,       // probe --server HOST[:PORT]
};

enum class Verbosity {
    Quiet,   // errors only
    Default, // on a terminal: status texts and the progress bar; elsewhere quiet
    Verbose, // status texts wherever standard error goes
    Trace,   // status texts and the protocol trace
};

struct Options {
    Command command = Command::Send;
    QString argument; // the DOMAIN, HOST or FILE of a utility command

    // Where to send. An empty server leaves the choice to the component's
    // MX lookup. port 0 keeps the component's default (25).
    QString server;
    int port = 0;
    QString hello;

    // The message.
    QString from;
    QString fromName;
    QStringList to; // --to entries and RECIPIENT arguments, in command-line order
    QStringList toNames;
    QStringList cc;
    QStringList ccNames;
    QStringList bcc;
    QString replyTo;
    QString subject;
    std::optional<QString> body; // --body TEXT
    QString bodyFile;            // --body-file FILE ("-": standard input)
    bool html = false;
    QString contentBase;
    QStringList attachments;
    bool uuencode = false;
    int priority = 3; // 1 high, 3 normal, 5 low
    bool prioritySet = false;
    bool receipt = false;

    // Logging in.
    bool auth = false;
    QString user;
    QString pop3Host;
    QString passwordEnv = QStringLiteral("KELMSEND_PASSWORD");
    bool passwordEnvSet = false; // --password-env was given
    QString passwordFile;
    QString passwordCommand;   // run by /bin/sh; its first output line is the password
    QString authMech;          // "" (auto) or a mechanism's name as sasl/ knows it
    QString oauthTokenEnv;     // the variable that holds the OAuth bearer token
    QString oauthTokenFile;    // or the file whose first line it is
    QString oauthTokenCommand; // or the first output line of this command (run by /bin/sh)
    oauth::Settings oauth;     // sign-in by kelmsend itself (oauth-provider and its keys)
    bool allowPlaintextAuth = false;

    // TLS. No --tls: see EffectiveTlsMode.
    std::optional<sendmail::TlsMode> tls;
    QString tlsCa;
    QString tlsFingerprint;
    bool tlsInsecure = false; // no certificate verification

    // Accounts (cli/account.h): the configuration file and the section to use.
    QString account;
    QString config;

    // Limits, -1 for the component's defaults.
    int connectTimeout = -1;
    int messageTimeout = -1;
    int retries = -1;

    // The outbox's folder (cli/queue_command.h); "" for the default.
    QString queueDir;
    // The outbox's delivery policy: queue-backoff, queue-lifetime,
    // uncertain (retry or hold) and notify.
    outbox::Policy queuePolicy;
    // The delivery log: a file that each attempt appends a line to, and
    // syslog (LOG_MAIL).
    QString logFile;
    bool syslog = false;
    // Sendmail mode stores each message in the queue before trying it;
    // --no-queue sends directly. Elsewhere --queue turns the queue on.
    bool noQueue = false;
    bool useQueue = false;

    bool noValidate = false;
    bool noPipelining = false;
    bool dryRun = false;
    Verbosity verbosity = Verbosity::Default;

    // The long options given on the command line ("--server", ...), in
    // order. An account's keys fill in only what is not among them.
    QStringList given;
    bool isGiven(const QString &longOption) const { return given.contains(longOption); }

    // Whether the options ask for a password (SMTP or POP3 login). An OAuth
    // token stands in for the SMTP password.
    bool needsPassword() const {
        const bool passwordGiven =
            passwordEnvSet || !passwordFile.isEmpty() || !passwordCommand.isEmpty();
        return (auth && (!hasOAuthToken() || passwordGiven)) || !pop3Host.isEmpty();
    }
    bool logsIn() const { return auth || !pop3Host.isEmpty(); }
    bool hasOAuthToken() const {
        return !oauthTokenEnv.isEmpty() || !oauthTokenFile.isEmpty() ||
               !oauthTokenCommand.isEmpty() || signsIn();
    }
    // Whether kelmsend gets the token itself, from the account's sign-in.
    bool signsIn() const { return !oauth.provider.isEmpty(); }
    // The account that sign-in and the token store know ("default" unless
    // --account names one).
    QString accountName() const { return account.isEmpty() ? QStringLiteral("default") : account; }
    int recipientCount() const { return static_cast<int>(to.size() + cc.size() + bcc.size()); }
};

struct ParseResult {
    std::optional<Options> options; // set when the command line is usable
    QString error;                  // otherwise: the message, naming the option
};

// A server written HOST, HOST:PORT, [IPV6-ADDRESS], [IPV6-ADDRESS]:PORT or
// as a bare IPv6 address (which cannot carry a port): the host without
// brackets and the port, 0 when none is given. When the text is none of
// these, `error` says why (the text after "--server: ") and host is "".
struct HostAndPort {
    QString host;
    int port = 0;
    QString error;
};
[[nodiscard]] HostAndPort SplitHostAndPort(const QString &text);

// Parses the arguments that follow the program name: ParseArguments, then
// CheckOptions for a send.
[[nodiscard]] ParseResult ParseCommandLine(const QStringList &args);

// The arguments alone, without the rules that tie the options of a send
// together: an account (cli/account.h) may still supply what is missing.
[[nodiscard]] ParseResult ParseArguments(const QStringList &args);

// The rules that tie the options of a send together ("--from is required",
// ...): "" when they hold, else the message. Rules about an option that
// does not apply (--user without --auth) only concern options given on the
// command line; an account may hold settings that one use of it ignores.
[[nodiscard]] QString CheckOptions(const Options &options);

// The part of CheckOptions about logging in: --auth and --pop3 need --user,
// and at most one source of the password.
[[nodiscard]] QString CheckLogin(const Options &options);

// With --auth and --oauth-provider but no server: the provider's usual
// submission server and port. Returns "" (it cannot fail; it stands in a
// list of checks).
[[nodiscard]] QString ApplyProviderDefaults(Options &options);

enum class OptionKind {
    Unknown,
    Switch, // takes no value
    Value,  // takes one
};

// What kind of long option `name` (without "--") is.
[[nodiscard]] OptionKind LongOptionKind(const QString &name);

// Applies the long option `name` (without "--") with `value` ("" for a
// switch) to `o`, as the command line does. Returns "" or the problem
// without the option's name ("must be a port number from 1 to 65535, ...").
// Does not record the option in `o.given`.
[[nodiscard]] QString ApplyLongOption(Options &o, const QString &name, const QString &value);

// true/false, yes/no, on/off or 1/0; nullopt for anything else.
[[nodiscard]] std::optional<bool> SwitchWord(const QString &value);

// Whether `name` is a key of a configuration file's account: the options
// that say where and as whom to send, how to log in, the limits and the
// reporting (server, port, from, from-name, auth, user, password-...).
[[nodiscard]] bool IsAccountKey(const QString &name);
[[nodiscard]] const QStringList &AccountKeys();

// Whether `host` is a loopback address or a name that can only mean one
// ("localhost", "*.localhost"). Nothing is looked up.
[[nodiscard]] bool IsLoopbackHost(const QString &host);

// The TLS mode of a connection: --tls when given; else implicit TLS on port
// 465, STARTTLS required for a --server that is not a loopback host, and
// STARTTLS when offered for loopback servers and for the MX path.
[[nodiscard]] sendmail::TlsMode EffectiveTlsMode(const Options &options);

// What --tls-insecure prints on standard error on every run that has it.
inline const QString kInsecureWarning =
    QStringLiteral("warning: --tls-insecure: the server's certificate is not verified; anyone "
                   "on the way can read and change the connection");

// The text of --help: usage lines, then every option on one line.
[[nodiscard]] QString HelpText();

// Splits an address option's value at ";" and ",", trimming spaces and
// dropping empty entries. Display names split at ";" only: a comma belongs
// to names such as "Smith, Ann".
[[nodiscard]] QStringList SplitAddresses(const QString &value);
[[nodiscard]] QStringList SplitNames(const QString &value);

} // namespace kelmsend
