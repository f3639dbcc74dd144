#include "mail/smtp_extensions.h"

#include <QStringList>

namespace sendmail {

SmtpExtensions ParseEhloReply(const QString &reply) {
    SmtpExtensions found;
    const QStringList lines = reply.split(QStringLiteral("\r\n"));
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QString &line = lines[i];
        if (line.size() < 5 || !line.startsWith(QLatin1String("250")) ||
            (line[3] != QLatin1Char('-') && line[3] != QLatin1Char(' ')))
            continue;
        const QString keyword = line.mid(4).section(QLatin1Char(' '), 0, 0).toUpper();
        if (keyword == QLatin1String("8BITMIME"))
            found.eightBitMime = true;
        else if (keyword == QLatin1String("SMTPUTF8"))
            found.smtpUtf8 = true;
        else if (keyword == QLatin1String("PIPELINING"))
            found.pipelining = true;
        else if (keyword == QLatin1String("STARTTLS"))
            found.startTls = true;
        else if (keyword == QLatin1String("SIZE")) {
            found.size = true;
            bool ok = false;
            const qint64 limit = line.mid(4).section(QLatin1Char(' '), 1, 1).toLongLong(&ok);
            found.sizeLimit = ok && limit > 0 ? limit : 0;
        }
    }
    return found;
}

} // namespace sendmail
