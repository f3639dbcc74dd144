// A delivery driver that plays a script instead of talking to a server:
// RCPT replies per address (250 unless named), then the data read from the
// job's device, then one of the endings below. What "the server" accepted
// is appended to a log file (fsynced, as a server stores a message), so a
// test can count deliveries across processes, and kept in `accepted`.
#pragma once

#include "outbox/delivery_driver.h"

#include <QFile>
#include <QMap>
#include <QPair>
#include <QTimer>

#include <fcntl.h>
#include <unistd.h>

namespace outboxtest {

enum class Ending {
    Accept,        // 250 to the final "."
    RefuseData,    // `dataCode`/`dataReply` to the final "."
    LostBeforeDot, // the connection drops while the data is sent
    LostAfterDot,  // the server stores the message, the connection drops before its reply
    Hang,          // nothing more, until cancelled
    Deaf,          // nothing more, not even when cancelled
    FailEarly,     // `early` before any RCPT (connection refused, login, ...)
};

struct Script {
    QMap<QString, QPair<int, QString>> rcpt;
    Ending ending = Ending::Accept;
    int dataCode = 554;
    QString dataReply = "554 5.6.0 rejected";
    outbox::AttemptOutcome early;
    int stepMs = 0; // pause between the steps and between 4 KB pieces of data
};

class ScriptedDriver : public outbox::DeliveryDriver {
public:
    QList<Script> scripts; // one per attempt; the last one repeats
    QString serverLog;     // "" for none
    QList<outbox::DeliveryJob> jobs;
    QList<QByteArray> accepted;

    void start(const outbox::DeliveryJob &job) override {
        jobs << job;
        m_Job = job;
        m_Script = scripts.isEmpty() ? Script{} : scripts.value(jobs.size() - 1, scripts.last());
        m_Data.clear();
        m_DotWritten = false;
        m_Accepted.clear();
        m_Active = true;
        later([this] { recipients(); });
    }

    void cancel() override {
        if (!m_Active || m_Script.ending == Ending::Deaf) {
            return;
        }
        m_Active = false;
        ++m_Serial;
        outbox::AttemptOutcome o;
        o.kind = outbox::OutcomeKind::Cancelled;
        o.finalDotWritten = m_DotWritten;
        o.reply = "cancelled";
        QTimer::singleShot(0, this, [this, o] { emit finished(o); });
    }

private:
    template <typename F> void later(F step) {
        const quint64 serial = m_Serial;
        QTimer::singleShot(m_Script.stepMs, this, [this, serial, step] {
            if (m_Active && serial == m_Serial) {
                step();
            }
        });
    }

    void end(outbox::OutcomeKind kind, int code, const QString &reply) {
        m_Active = false;
        outbox::AttemptOutcome o{kind, m_DotWritten, code, reply};
        emit finished(o);
    }

    void recipients() {
        if (m_Script.ending == Ending::FailEarly) {
            m_Active = false;
            emit finished(m_Script.early);
            return;
        }
        for (const QString &address : m_Job.recipients) {
            const QPair<int, QString> reply = m_Script.rcpt.value(address, {250, "250 2.1.5 ok"});
            if (reply.first / 100 == 2) {
                m_Accepted << address;
            }
            emit recipientResult(address, reply.first, reply.second);
        }
        later([this] { data(); });
    }

    void data() {
        const QByteArray piece = m_Job.message->read(4096);
        m_Data += piece;
        if (!piece.isEmpty() && !m_Job.message->atEnd()) {
            if (m_Script.ending == Ending::LostBeforeDot && m_Data.size() >= 8192) {
                end(outbox::OutcomeKind::ConnectionLost, 0, "connection lost");
                return;
            }
            later([this] { data(); });
            return;
        }
        if (m_Script.ending == Ending::LostBeforeDot) {
            end(outbox::OutcomeKind::ConnectionLost, 0, "connection lost");
            return;
        }
        if (m_Script.ending == Ending::Hang || m_Script.ending == Ending::Deaf) {
            return;
        }
        const quint64 serial = m_Serial;
        emit finalDotAhead();
        if (!m_Active || serial != m_Serial) {
            return; // cancelled by the runner: the "." is not written
        }
        m_DotWritten = true;
        if (m_Script.ending == Ending::Accept || m_Script.ending == Ending::LostAfterDot) {
            store();
        }
        later([this] {
            switch (m_Script.ending) {
            case Ending::Accept:
                end(outbox::OutcomeKind::Ok, 250, "250 2.0.0 queued as X");
                break;
            case Ending::RefuseData:
                end(outbox::OutcomeKind::Refused, m_Script.dataCode, m_Script.dataReply);
                break;
            default:
                end(outbox::OutcomeKind::ConnectionLost, 0, "connection lost");
                break;
            }
        });
    }

    void store() {
        accepted << m_Data;
        if (serverLog.isEmpty()) {
            return;
        }
        const QByteArray line = m_Job.id.toUtf8() + " " + m_Accepted.join(",").toUtf8() + " " +
                                QByteArray::number(m_Data.size()) + "\n";
        const int fd = ::open(QFile::encodeName(serverLog).constData(),
                              O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
        if (fd >= 0) {
            [[maybe_unused]] const ssize_t n = ::write(fd, line.constData(), line.size());
            ::fsync(fd);
            ::close(fd);
        }
    }

    outbox::DeliveryJob m_Job;
    Script m_Script;
    QByteArray m_Data;
    QStringList m_Accepted;
    bool m_DotWritten = false;
    bool m_Active = false;
    quint64 m_Serial = 0;
};

} // namespace outboxtest
