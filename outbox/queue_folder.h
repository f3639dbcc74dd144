// The queue folder: where the outbox keeps each message (see record.h for
// the two files of a message and the record's format) and the temporary
// files of writers in progress, in tmp/. The folder is private (0700, made
// so when it is not) and every file in it 0600.
//
// Nothing is called safe before it is on disk: a message is streamed into
// a temporary file that its writer holds an flock on, fsynced, linked into
// place as <id>.msg (a link never replaces an existing file, so concurrent
// storers can never take the same id), its record written the same way and
// renamed into place as <id>.env, and the folder fsynced; only then does
// store() return the id. A writer killed at any moment leaves at most a
// temporary file or a <id>.msg without record, which no reader lists and
// cleanup() removes once no writer holds its lock.
//
// One flock per message, on its <id>.msg, held while it is delivered or
// changed: two runners never work the same message at once.
#pragma once

#include "outbox/record.h"

#include <QDateTime>
#include <QIODevice>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

namespace outbox {

using Clock = std::function<QDateTime()>;

enum class StoreError {
    None,
    NoSpace,    // the disk or quota is full (ENOSPC, EDQUOT)
    WriteError, // another error of the file system
    ReadError,  // the message could not be read from its device
    BadRequest, // no recipient, or an id of the wrong form
    Exists,     // a fixed id (StoreRequest::id) that is already taken
};

struct StoreRequest {
    QString account = {};
    QString sender = {}; // "" for <>
    QStringList recipients = {};
    bool isNotice = false;
    QString id = {}; // "" for a new id; a fixed one stores at most once
};

struct StoreResult {
    StoreError error = StoreError::None;
    QString errorText; // for the user, with the system's reason
    QString id;
    QString messageId; // with angle brackets, "" when the header block had none and was too long
    qint64 size = 0;
    [[nodiscard]] bool ok() const { return error == StoreError::None; }
};

// A message of the queue as listed.
struct QueueEntry {
    QString id;
    bool damaged = false;
    QString error; // why it is damaged
    MessageRecord record;
};

// The flock on one message, released when destroyed.
class MessageLock {
public:
    MessageLock() = default;
    explicit MessageLock(int fd) : m_Fd(fd) {}
    MessageLock(MessageLock &&other) noexcept : m_Fd(other.m_Fd) { other.m_Fd = -1; }
    MessageLock &operator=(MessageLock &&other) noexcept;
    MessageLock(const MessageLock &) = delete;
    MessageLock &operator=(const MessageLock &) = delete;
    ~MessageLock();
    [[nodiscard]] bool held() const { return m_Fd >= 0; }

private:
    int m_Fd = -1;
};

enum class LockResult { Locked, Busy, Missing };

struct CleanupReport {
    QStringList removed; // file names
};

class QueueFolder {
public:
    // `clock` gives the time for ids and records (UTC); the system clock
    // when empty.
    explicit QueueFolder(const QString &path, Clock clock = {});

    // Creates the folder and tmp/ (0700) when missing and makes them
    // private when they are not. False, with the reason, when it cannot.
    [[nodiscard]] bool open(QString *error);
    [[nodiscard]] QString path() const { return m_Path; }
    [[nodiscard]] QDateTime now() const;

    // Streams `message` (read to its end) into the queue. A header block
    // without a Message-ID field gets one at its end, so the id is fixed
    // before the first attempt. Returns once the message is durable.
    [[nodiscard]] StoreResult store(QIODevice &message, const StoreRequest &request);

    // Every message with a record, oldest first; damaged ones (a record
    // that cannot be read, a message file missing or of the wrong size)
    // among them, never removed by anything here.
    [[nodiscard]] QList<QueueEntry> list() const;
    [[nodiscard]] QueueEntry load(const QString &id) const;

    // The message's lock without waiting: Busy while another process (or
    // another lock here) holds it, Missing when the message is gone.
    [[nodiscard]] LockResult tryLock(const QString &id, MessageLock &lock) const;
    // Whether someone holds the message's lock right now.
    [[nodiscard]] bool isBusy(const QString &id) const;

    // Durable replacement of the record; the caller holds the lock.
    [[nodiscard]] bool save(const MessageRecord &record, QString *error);
    // Removes the message (record first, so readers never see a record
    // without its message); the caller holds the lock.
    [[nodiscard]] bool remove(const QString &id, QString *error);

    [[nodiscard]] QString messagePath(const QString &id) const;

    // Removes temporary files and record-less messages whose writer is gone
    // (their lock free) and that are older than `grace`, which covers the
    // moment between a writer creating its file and locking it.
    CleanupReport cleanup(qint64 graceSeconds = 60);

    // The queue commands. Each takes the message's lock and fails with a
    // reason while the message is being delivered.
    [[nodiscard]] bool retry(const QString &id, QString *error);
    [[nodiscard]] bool drop(const QString &id, QString *error);

private:
    QString m_Path;
    Clock m_Clock;
};

[[nodiscard]] QString StoreErrorName(StoreError error);

} // namespace outbox
