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
        "   0  stored in the queue (delivered, deferred, or delivered to some with a notice\n"
        "      for the others); -odq: stored; --no-queue: accepted for every recipient\n"
        "  64  usage: the command line cannot be used\n"
        "  65  the message cannot be used (its header block, the addresses of its fields)\n"
        "  67  every recipient refused for good on the first try, naming the address (5.1.x):\n"
        "      nothing went out; the message stays in the queue as failed\n"
        "  69  every recipient refused for good otherwise: likewise\n"
        "  73  neither sent nor kept: the queue could not store it (an unwritable folder, a\n"
        "      full disk; the message stays with the caller); --no-queue: the server deferred\n"
        "      it (4xx) or could not be reached, the connection, TLS or the login failed\n"
        "  74  standard input (or, for -bp and -q, the queue folder) could not be read\n"
        "  78  the configuration file, the login settings, the password source or the\n"
        "      sender's address is unusable\n");
}

} // namespace kelmsend
