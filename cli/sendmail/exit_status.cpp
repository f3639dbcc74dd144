#include "cli/sendmail/exit_status.h"

#include <QRegularExpression>

#include <sysexits.h>

namespace kelmsend {

Refusal ClassifyFailure(const QString &failure) {
    // A reply: three digits, then a space, a hyphen or the end; then maybe
    // an enhanced status code (RFC 3463).
    static const QRegularExpression reply(
        QStringLiteral("^([2-5])\\d\\d(?:[ -]|$)(?:\\s*(\\d)\\.(\\d{1,3})\\.(\\d{1,3})\\b)?"));
    const QRegularExpressionMatch m = reply.match(failure.trimmed());
    if (!m.hasMatch() || m.captured(1) != QLatin1String("5")) {
        return Refusal::NotFinal;
    }
    if (m.captured(2) == QLatin1String("5") && m.captured(3) == QLatin1String("1")) {
        const int detail = m.captured(4).toInt();
        if (detail != 7 && detail != 8) {
            return Refusal::Address;
        }
    }
    return Refusal::Other;
}

int SendmailExitStatus(SendmailOutcome outcome, const QStringList &failures) {
    switch (outcome) {
    case SendmailOutcome::Sent:
        return EX_OK;
    case SendmailOutcome::Usage:
        return EX_USAGE;
    case SendmailOutcome::BadMessage:
        return EX_DATAERR;
    case SendmailOutcome::InputError:
        return EX_IOERR;
    case SendmailOutcome::Configuration:
        return EX_CONFIG;
    case SendmailOutcome::CannotCopy:
        return EX_CANTCREAT;
    case SendmailOutcome::SendFailed:
        break;
    }
    bool allAddress = !failures.isEmpty();
    for (const QString &failure : failures) {
        const Refusal r = ClassifyFailure(failure);
        if (r == Refusal::NotFinal) {
            // Nothing was sent and nothing is kept: a later try is the
            // caller's, so the status must not say "deferred".
            return EX_CANTCREAT;
        }
        allAddress = allAddress && r == Refusal::Address;
    }
    if (failures.isEmpty()) {
        return EX_CANTCREAT;
    }
    return allAddress ? EX_NOUSER : EX_UNAVAILABLE;
}

QString SendmailExitStatusHelp() {
    return QStringLiteral(
        "Exit status in sendmail mode (sysexits.h):\n"
        "   0  sent: the server accepted the message for every recipient (-odq: stored)\n"
        "  64  usage: the command line cannot be used\n"
        "  65  the message cannot be used (its header block, the addresses of its fields)\n"
        "  67  the server refused an address for good (5.1.x): nothing went out\n"
        "  69  the server refused the message for good otherwise: nothing went out\n"
        "  73  neither sent nor kept: the server deferred it (4xx) or could not be reached,\n"
        "      the connection, TLS or the login failed, or no temporary copy could be made;\n"
        "      -odq: the queue could not store it (an unwritable folder, a full disk)\n"
        "  74  standard input (or, for -bp, the queue folder) could not be read\n"
        "  78  the configuration file, the login settings, the password source or the\n"
        "      sender's address is unusable\n");
}

} // namespace kelmsend
