#include "outbox/record.h"

#include <QList>

#include <limits>
#include <optional>
#include <type_traits>

namespace outbox {

namespace {

constexpr char kMagic[] = "kelm-outbox";

// Printable ASCII stays as it is, so a record reads well; "%", blanks,
// control characters and bytes above 127 become %XX.
QByteArray Encode(const QString &text) {
    return text.toUtf8().toPercentEncoding("!\"#$&'()*+,/:;<=>?@[\\]^`{|}");
}

QString Decode(const QByteArray &value) {
    return QString::fromUtf8(QByteArray::fromPercentEncoding(value));
}

QByteArray TimeText(const QDateTime &time) {
    return time.isValid() ? time.toUTC().toString(Qt::ISODate).toLatin1() : QByteArray("-");
}

std::optional<QDateTime> ParseTime(const QByteArray &text, bool allowNone) {
    if (text == "-") {
        return allowNone ? std::optional<QDateTime>(QDateTime()) : std::nullopt;
    }
    QDateTime time = QDateTime::fromString(QString::fromLatin1(text), Qt::ISODate);
    if (!time.isValid()) {
        return std::nullopt;
    }
    return time.toUTC();
}

std::optional<qint64> ParseCount(const QByteArray &text) {
    bool ok = false;
    const qint64 value = text.toLongLong(&ok);
    if (!ok || value < 0 || text.startsWith('+')) {
        return std::nullopt;
    }
    return value;
}

std::optional<bool> ParseFlag(const QByteArray &text) {
    if (text == "0" || text == "1") {
        return text == "1";
    }
    return std::nullopt;
}

const char *InFlightName(InFlight inFlight) {
    switch (inFlight) {
    case InFlight::None:
        return "none";
    case InFlight::Sending:
        return "sending";
    case InFlight::FinalDot:
        return "final-dot";
    }
    return "none";
}

std::optional<RecipientState> ParseRecipientState(const QByteArray &text) {
    for (RecipientState s : {RecipientState::Pending, RecipientState::Deferred,
                             RecipientState::Delivered, RecipientState::Failed}) {
        if (text == RecipientStateName(s).toLatin1()) {
            return s;
        }
    }
    return std::nullopt;
}

// Reads the lines of a record in their fixed order.
class Reader {
public:
    explicit Reader(const QByteArray &bytes) : m_Lines(bytes.split('\n')) {}

    // The value of the next line, which must be `key`.
    std::optional<QByteArray> value(const char *key) {
        if (m_Next >= m_Lines.size()) {
            m_Error = QString("missing %1").arg(key);
            return std::nullopt;
        }
        const QByteArray &line = m_Lines[m_Next];
        const qsizetype space = line.indexOf(' ');
        const QByteArray name = space < 0 ? line : line.left(space);
        if (name != key) {
            m_Error = QString("line %1: expected %2, found \"%3\"")
                          .arg(m_Next + 1)
                          .arg(key, QString::fromUtf8(name.left(40)));
            return std::nullopt;
        }
        ++m_Next;
        return space < 0 ? QByteArray() : line.mid(space + 1);
    }
    bool nextIs(const char *key) const {
        return m_Next < m_Lines.size() &&
               (m_Lines[m_Next] == key || m_Lines[m_Next].startsWith(QByteArray(key) + ' '));
    }
    bool atEnd() const {
        // The file ends with "end\n": what follows the last break is empty.
        return m_Next == m_Lines.size() - 1 && m_Lines.last().isEmpty();
    }
    void fail(const QString &error) {
        if (m_Error.isEmpty()) {
            m_Error = QString("line %1: %2").arg(m_Next).arg(error);
        }
    }
    QString error() const { return m_Error; }

private:
    QList<QByteArray> m_Lines;
    qsizetype m_Next = 0;
    QString m_Error;
};

} // namespace

QString RecipientStateName(RecipientState state) {
    switch (state) {
    case RecipientState::Pending:
        return "pending";
    case RecipientState::Deferred:
        return "deferred";
    case RecipientState::Delivered:
        return "delivered";
    case RecipientState::Failed:
        return "failed";
    }
    return "pending";
}

bool IsValidId(const QString &id) {
    if (id.isEmpty() || id.size() > 64) {
        return false;
    }
    for (QChar c : id) {
        if (!(c.isDigit() || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-')) {
            return false;
        }
    }
    return true;
}

QByteArray EncodeRecord(const MessageRecord &r) {
    QByteArray out;
    auto line = [&out](const char *key, const QByteArray &value) {
        out += key;
        out += ' ';
        out += value;
        out += '\n';
    };
    out += kMagic + QByteArray(" ") + QByteArray::number(kFormatVersion) + '\n';
    line("id", Encode(r.id));
    line("account", Encode(r.account));
    line("sender", Encode(r.sender));
    line("message-id", Encode(r.messageId));
    line("created", TimeText(r.created));
    line("since", TimeText(r.since));
    line("size", QByteArray::number(r.size));
    line("attempts", QByteArray::number(r.attempts));
    line("last-attempt", TimeText(r.lastAttempt));
    line("next-attempt", TimeText(r.nextAttempt));
    line("uncertain", r.uncertain ? "1" : "0");
    line("held", r.held ? "1" : "0");
    line("notice", r.isNotice ? "1" : "0");
    line("notices", QByteArray::number(r.notices));
    line("in-flight", InFlightName(r.inFlight));
    line("last-error", Encode(r.lastError));
    for (const RecipientRecord &rcpt : r.recipients) {
        QByteArray flags;
        if (rcpt.notified) {
            flags += 'n';
        }
        if (rcpt.acceptedInFlight) {
            flags += 'f';
        }
        line("rcpt", RecipientStateName(rcpt.state).toLatin1() + ' ' +
                         QByteArray::number(rcpt.code) + ' ' + (flags.isEmpty() ? "-" : flags) +
                         ' ' + Encode(rcpt.address) + ' ' + Encode(rcpt.reply));
    }
    out += "end\n";
    return out;
}

ParsedRecord ParseRecord(const QByteArray &bytes) {
    ParsedRecord parsed;
    MessageRecord &r = parsed.record;
    Reader in(bytes);

    const std::optional<QByteArray> version = in.value(kMagic);
    if (!version) {
        parsed.error = "not an outbox record";
        return parsed;
    }
    if (*version != QByteArray::number(kFormatVersion)) {
        parsed.error =
            QString("unknown format version \"%1\"").arg(QString::fromUtf8(version->left(20)));
        return parsed;
    }
    auto text = [&](const char *key, QString &into) {
        const std::optional<QByteArray> v = in.value(key);
        if (v) {
            into = Decode(*v);
        }
        return v.has_value();
    };
    auto time = [&](const char *key, QDateTime &into, bool allowNone) {
        const std::optional<QByteArray> v = in.value(key);
        if (!v) {
            return false;
        }
        const std::optional<QDateTime> t = ParseTime(*v, allowNone);
        if (!t) {
            in.fail(QString("bad time for %1").arg(key));
            return false;
        }
        into = *t;
        return true;
    };
    auto count = [&](const char *key, auto &into) {
        const std::optional<QByteArray> v = in.value(key);
        if (!v) {
            return false;
        }
        const std::optional<qint64> n = ParseCount(*v);
        if (!n || *n > std::numeric_limits<std::remove_reference_t<decltype(into)>>::max()) {
            in.fail(QString("bad number for %1").arg(key));
            return false;
        }
        into = static_cast<std::remove_reference_t<decltype(into)>>(*n);
        return true;
    };
    auto flag = [&](const char *key, bool &into) {
        const std::optional<QByteArray> v = in.value(key);
        const std::optional<bool> f = v ? ParseFlag(*v) : std::nullopt;
        if (v && !f) {
            in.fail(QString("bad flag for %1").arg(key));
        }
        if (f) {
            into = *f;
        }
        return f.has_value();
    };

    bool ok = text("id", r.id) && text("account", r.account) && text("sender", r.sender) &&
              text("message-id", r.messageId) && time("created", r.created, false) &&
              time("since", r.since, false) && count("size", r.size) &&
              count("attempts", r.attempts) && time("last-attempt", r.lastAttempt, true) &&
              time("next-attempt", r.nextAttempt, true) && flag("uncertain", r.uncertain) &&
              flag("held", r.held) && flag("notice", r.isNotice) && count("notices", r.notices);
    if (ok) {
        const std::optional<QByteArray> v = in.value("in-flight");
        ok = v.has_value();
        if (v) {
            if (*v == "none") {
                r.inFlight = InFlight::None;
            } else if (*v == "sending") {
                r.inFlight = InFlight::Sending;
            } else if (*v == "final-dot") {
                r.inFlight = InFlight::FinalDot;
            } else {
                in.fail("bad in-flight");
                ok = false;
            }
        }
    }
    ok = ok && text("last-error", r.lastError);
    while (ok && in.nextIs("rcpt")) {
        const QList<QByteArray> f = in.value("rcpt")->split(' ');
        RecipientRecord rcpt;
        const std::optional<RecipientState> state =
            f.size() == 5 ? ParseRecipientState(f[0]) : std::nullopt;
        const std::optional<qint64> code = state ? ParseCount(f[1]) : std::nullopt;
        if (!code || *code > 999 || f[3].isEmpty()) {
            in.fail("bad rcpt line");
            ok = false;
            break;
        }
        rcpt.state = *state;
        rcpt.code = static_cast<int>(*code);
        for (char c : f[2]) {
            if (c == 'n') {
                rcpt.notified = true;
            } else if (c == 'f') {
                rcpt.acceptedInFlight = true;
            } else if (c != '-') {
                in.fail("bad rcpt flags");
                ok = false;
            }
        }
        rcpt.address = Decode(f[3]);
        rcpt.reply = Decode(f[4]);
        r.recipients.append(rcpt);
    }
    if (ok && !in.value("end")) {
        ok = false;
    }
    if (ok && !in.atEnd()) {
        in.fail("data after end");
        ok = false;
    }
    if (ok && (r.recipients.isEmpty() || !IsValidId(r.id))) {
        in.fail(r.recipients.isEmpty() ? "no recipient" : "bad id");
        ok = false;
    }
    parsed.ok = ok;
    if (!ok) {
        parsed.error = in.error().isEmpty() ? QString("unreadable") : in.error();
        parsed.record = MessageRecord();
    }
    return parsed;
}

} // namespace outbox
