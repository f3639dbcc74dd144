#include "cli/auth_command.h"

#include "cli/account.h"
#include "cli/bearer_send.h"
#include "cli/options.h"
#include "oauth/browser_flow.h"
#include "oauth/sign_in.h"
#include "oauth/token_store.h"

#include <QEventLoop>
#include <QNetworkAccessManager>

namespace kelmsend {

namespace {

const QStringList kVerbs{"login", "status", "logout"};

// The long options that concern the sign-in of an account.
bool appliesToAuth(const QString &option) {
    static const QStringList others{"--account", "--config", "--timeout",    "--quiet",
                                    "--verbose", "--trace",  "--token-store"};
    return option.startsWith(QLatin1String("--oauth-")) || others.contains(option);
}

QString storeText(const oauth::TokenStore &store, oauth::StoreChoice where,
                  const QString &account) {
    const QString record = store.recordPath(account);
    return where == oauth::StoreChoice::SecretService
               ? "the Secret Service (its record: " + record + ")"
               : record;
}

QString when(const QDateTime &t) {
    return t.toUTC().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss 'UTC'"));
}

int login(const Options &o, const AuthConsole &console) {
    const oauth::Resolved resolved = oauth::Resolve(o.accountName(), o.oauth);
    if (!resolved.config) {
        console.err(
            ("kelmsend: account " + o.accountName() + ": " + resolved.error + "\n").toUtf8());
        return kExitUsage;
    }
    oauth::Config config = *resolved.config;
    if (o.connectTimeout > 0) {
        config.exchangeTimeoutMs = o.connectTimeout * 1000;
    }
    oauth::TokenStore store;
    store.setSecretServiceTimeoutMs(config.secretServiceTimeoutMs);
    QNetworkAccessManager manager;
    oauth::SignIn signIn(config, &store, &manager);
    QEventLoop loop;
    std::optional<oauth::Result> result;
    oauth::StoreChoice where = oauth::StoreChoice::File;
    QObject::connect(&signIn, &oauth::SignIn::deviceCode, [&](const oauth::DeviceCode &code) {
        QString text = "To sign in to account " + o.accountName() + ", open\n  " +
                       code.verificationUri + "\nand enter the code\n  " + code.userCode + "\n";
        if (!code.verificationUriComplete.isEmpty()) {
            text += "(or open " + code.verificationUriComplete + ")\n";
        }
        console.out(text.toUtf8());
    });
    QObject::connect(&signIn, &oauth::SignIn::authorizationUrl, [&](const QUrl &url) {
        console.out(("To sign in to account " + o.accountName() + ", open this address:\n  " +
                     url.toString(QUrl::FullyEncoded) + "\n")
                        .toUtf8());
        if (oauth::OpenInBrowser(url)) {
            console.err("kelmsend: opened it in your browser\n");
        }
    });
    QObject::connect(&signIn, &oauth::SignIn::finished,
                     [&](const oauth::Result &r, oauth::StoreChoice w) {
                         result = r;
                         where = w;
                         loop.quit();
                     });
    signIn.start();
    if (!result) {
        loop.exec(); // the flows end by themselves: each has its time limit
    }
    switch (result->outcome) {
    case oauth::Outcome::Ok:
        if (!result->message.isEmpty()) {
            console.err(("kelmsend: note: " + result->message + "\n").toUtf8());
        }
        console.out(("Signed in to account " + o.accountName() + "; the tokens are kept in " +
                     storeText(store, where, o.accountName()) + "\n")
                        .toUtf8());
        return kExitSent;
    case oauth::Outcome::Denied:
        console.err(("kelmsend: " + result->message + "\n").toUtf8());
        return kExitSignIn;
    default:
        console.err(("kelmsend: " + result->message + "\n").toUtf8());
        return kExitFailed;
    }
}

int status(const Options &o, const AuthConsole &console) {
    const QString account = o.accountName();
    oauth::TokenStore store;
    oauth::Record record;
    const oauth::Result r = store.readRecord(account, &record);
    if (r.outcome == oauth::Outcome::NotSignedIn) {
        const QString text =
            r.message.isEmpty() ? "account " + account + " is not signed in" : r.message;
        console.out(
            (text + "; sign in with: kelmsend auth login --account " + account + "\n").toUtf8());
        return kExitFailed;
    }
    if (r.outcome != oauth::Outcome::Ok) {
        console.err(("kelmsend: " + r.message + "\n").toUtf8());
        return kExitFailed;
    }
    QString text = "Account " + account + " is signed in with " + record.provider + "\n";
    const QDateTime now = QDateTime::currentDateTimeUtc();
    if (!record.expires.isValid()) {
        text += "  access token: expiry unknown\n";
    } else if (record.expires > now) {
        text += "  access token: valid until " + when(record.expires) + "\n";
    } else {
        text += "  access token: ran out at " + when(record.expires) +
                (record.hasRefreshToken ? QStringLiteral("; renewed at the next send\n")
                                        : QStringLiteral("\n"));
    }
    text += record.hasRefreshToken
                ? QStringLiteral("  refresh token: kept\n")
                : QStringLiteral("  refresh token: none (sign in again once the access token "
                                 "has run out)\n");
    text += "  scope: " + record.scope + "\n";
    text += "  tokens kept in: " + storeText(store, record.store, account) + "\n";
    console.out(text.toUtf8());
    return kExitSent;
}

int logout(const Options &o, const AuthConsole &console) {
    oauth::TokenStore store;
    QEventLoop loop;
    std::optional<oauth::Result> result;
    store.remove(o.accountName(), [&](const oauth::Result &r, oauth::StoreChoice) {
        result = r;
        loop.quit();
    });
    if (!result) {
        loop.exec(); // the Secret Service calls have their time limit
    }
    if (result->outcome != oauth::Outcome::Ok) {
        console.err(("kelmsend: " + result->message + "\n").toUtf8());
        return kExitFailed;
    }
    console.out(("Signed out of account " + o.accountName() + "\n").toUtf8());
    return kExitSent;
}

} // namespace

QString AuthHelpText() {
    return QStringLiteral(
        "Usage: kelmsend auth login  [--account NAME] [OPTIONS]   sign in, keep the tokens\n"
        "       kelmsend auth status [--account NAME]             signed in or not, expiry, "
        "scope\n"
        "       kelmsend auth logout [--account NAME]             remove the account's tokens\n"
        "\n"
        "The OAuth 2.0 sign-in of an account of the configuration file (--config FILE,\n"
        "KELMSEND_CONFIG, else $XDG_CONFIG_HOME/kelmsend/config). Sign in once; each send\n"
        "then uses the stored access token while it lasts, renews it by the refresh token,\n"
        "and renews it once more when the server refuses it. No token is ever printed.\n"
        "\n"
        "login prints an address and a code to enter there (device flow), or an address\n"
        "to open on this machine (browser flow: the answer comes back to 127.0.0.1; it is\n"
        "opened with xdg-open when there is a display), and waits until the sign-in is\n"
        "done, refused or too late.\n"
        "\n"
        "Options (each also a key of the account's section, without \"--\"):\n"
        "  --account NAME              the account [NAME] (default: [default])\n"
        "  --config FILE               the configuration file\n"
        "  --oauth-provider NAME       microsoft, google or custom\n"
        "  --oauth-client-id ID        the client id you registered with the provider\n"
        "  --oauth-client-secret TEXT  the client secret, when the provider issued one\n"
        "  --oauth-scope SCOPE         the scope asked for (default: the provider's for SMTP)\n"
        "  --oauth-auth-url URL        authorization endpoint (browser flow)\n"
        "  --oauth-token-url URL       token endpoint\n"
        "  --oauth-device-url URL      device authorization endpoint (device flow)\n"
        "                              (the three override the provider's; custom needs them;\n"
        "                              https://, or http:// to a loopback address)\n"
        "  --oauth-flow FLOW           device or browser (default: the provider's; google:\n"
        "                              browser only)\n"
        "  --token-store STORE         secret-service or file (default: the Secret Service\n"
        "                              when one runs, else the file)\n"
        "  --timeout SECONDS           time limit of each exchange with the provider (default "
        "30)\n"
        "  -q, --quiet / -v, --verbose / --trace   as for sending\n"
        "  -h, --help                  show this help and exit\n"
        "\n"
        "Where the tokens are kept: the Secret Service (GNOME Keyring, KWallet), or with\n"
        "token-store = file in $XDG_STATE_HOME/kelmsend/oauth/ACCOUNT\n"
        "(~/.local/state/kelmsend/oauth/ACCOUNT; folder 0700, file 0600). That file is\n"
        "written either way and names the store login chose, so that a send from cron or\n"
        "ssh (no Secret Service) says where the tokens are. A file that others may read\n"
        "is refused (chmod 600); a damaged one means signing in again.\n"
        "\n"
        "Exit status: 0 done (status: signed in); 1 not signed in, or the sign-in or the\n"
        "store failed (the reason on standard error); 2 usage or configuration error;\n"
        "77 the sign-in was refused or not finished in time. A send whose sign-in has\n"
        "expired exits 77 with \"run kelmsend auth login --account NAME\".\n");
}

int RunAuth(const QStringList &args, const EnvironmentLookup &env, const AuthConsole &console) {
    for (const QString &arg : args) {
        if (arg == QLatin1String("--")) {
            break;
        }
        if (arg == QLatin1String("--help") || arg == QLatin1String("-h")) {
            console.out(AuthHelpText().toUtf8());
            return kExitSent;
        }
    }
    const auto usage = [&console](const QString &text) {
        console.err(("kelmsend: " + text + "\n").toUtf8());
        return kExitUsage;
    };
    const QString verb = args.value(0);
    if (!kVerbs.contains(verb)) {
        return usage("auth needs login, status or logout: kelmsend auth login [--account NAME] "
                     "(kelmsend auth --help says more)");
    }
    const ParseResult parsed = ParseArguments(args.mid(1));
    if (!parsed.options) {
        return usage(parsed.error);
    }
    Options o = *parsed.options;
    if (o.command != Command::Send || o.recipientCount() > 0) {
        return usage("auth " + verb +
                     " takes no argument but --account NAME and the oauth options");
    }
    for (const QString &option : o.given) {
        if (!appliesToAuth(option)) {
            return usage(option + " does not apply to auth " + verb);
        }
    }
    if (const QString problem = LoadAccount(o, env); !problem.isEmpty()) {
        return usage(problem);
    }
    if (verb == QLatin1String("status")) {
        return status(o, console);
    }
    if (verb == QLatin1String("logout")) {
        return logout(o, console);
    }
    if (!o.signsIn()) {
        return usage("account " + o.accountName() +
                     " has no oauth-provider: set oauth-provider and oauth-client-id in its "
                     "section of the configuration file");
    }
    return login(o, console);
}

} // namespace kelmsend
