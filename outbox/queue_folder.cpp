#include "outbox/queue_folder.h"

#include "mime/compose.h"
#include "outbox/policy.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace outbox {

namespace {

constexpr qint64 kChunk = 64 * 1024;
// A header block longer than this is streamed as it is, without looking
// for its Message-ID further.
constexpr qint64 kHeaderScanLimit = 1024 * 1024;
// How long to wait for more input from a device that is not at its end.
constexpr int kReadWaitMs = 5 * 60 * 1000;

QByteArray Native(const QString &path) {
    return QFile::encodeName(path);
}

QString SystemError(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

class Fd {
public:
    explicit Fd(int fd = -1) : m_Fd(fd) {}
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd() { reset(); }
    int get() const { return m_Fd; }
    int release() {
        const int fd = m_Fd;
        m_Fd = -1;
        return fd;
    }
    void reset(int fd = -1) {
        if (m_Fd >= 0) {
            ::close(m_Fd);
        }
        m_Fd = fd;
    }

private:
    int m_Fd;
};

bool WriteAll(int fd, const char *data, qint64 size, int *error) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, static_cast<size_t>(size));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            *error = errno;
            return false;
        }
        data += n;
        size -= n;
    }
    return true;
}

bool SyncFolder(const QString &path, int *error) {
    Fd dir(::open(Native(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() < 0 || ::fsync(dir.get()) != 0) {
        *error = errno;
        return false;
    }
    return true;
}

StoreError ErrorKind(int error) {
    return error == ENOSPC || error == EDQUOT ? StoreError::NoSpace : StoreError::WriteError;
}

QString NewId(const QDateTime &now) {
    return now.toUTC().toString("yyyyMMdd-HHmmss-") +
           QString::number(QRandomGenerator::system()->bounded(0x1000000), 16)
               .rightJustified(6, '0');
}

// A new file in `folder`, created exclusively (0600) and locked.
int CreateLocked(const QString &file, int *error) {
    Fd fd(::open(Native(file).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (fd.get() < 0 || ::flock(fd.get(), LOCK_EX) != 0) {
        *error = errno;
        return -1;
    }
    return fd.release();
}

// Writes `bytes` to a locked temporary file in tmp/ and renames it to
// `target`, then syncs the folder.
bool ReplaceDurably(const QString &folder, const QString &target, const QByteArray &bytes,
                    int *error) {
    const QString temp = folder + "/tmp/" + QFileInfo(target).fileName() + "." +
                         QString::number(QRandomGenerator::system()->generate64(), 16);
    Fd fd(CreateLocked(temp, error));
    if (fd.get() < 0) {
        return false;
    }
    if (!WriteAll(fd.get(), bytes.constData(), bytes.size(), error) || ::fsync(fd.get()) != 0 ||
        ::rename(Native(temp).constData(), Native(target).constData()) != 0) {
        if (*error == 0) {
            *error = errno;
        }
        ::unlink(Native(temp).constData());
        return false;
    }
    return SyncFolder(folder, error);
}

// "Name:" with a name of printable characters other than ":", blanks
// allowed before the colon.
bool IsFieldLine(const QByteArray &line) {
    const qsizetype colon = line.indexOf(':');
    if (colon <= 0) {
        return false;
    }
    const QByteArray name = line.left(colon);
    const qsizetype end = name.trimmed().size(); // blanks may follow the name
    for (qsizetype i = 0; i < name.size(); ++i) {
        const auto c = static_cast<unsigned char>(name[i]);
        const bool blankAfterName = i >= end && (c == ' ' || c == '\t');
        if (!blankAfterName && (c < 33 || c > 126)) {
            return false;
        }
    }
    return true;
}

// Removes `file` when it is not newer than `oldest` and no writer holds its
// lock; `needsNoRecord`: a message file, kept when its record exists.
bool RemoveIfAbandoned(const QString &file, bool needsNoRecord, const QDateTime &oldest) {
    const QFileInfo info(file);
    if (info.lastModified().toUTC() > oldest) {
        return false;
    }
    Fd fd(::open(Native(file).constData(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0 || ::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        return false; // its writer is still at work
    }
    if (needsNoRecord && QFileInfo::exists(file.chopped(4) + ".env")) {
        return false;
    }
    return ::unlink(Native(file).constData()) == 0;
}

// Finds the Message-ID of a header block as it streams past, and adds one
// at the end of a block that has none.
class HeaderScan {
public:
    explicit HeaderScan(QString sender) : m_Sender(std::move(sender)) {}

    // Takes input; returns what may be written out now.
    QByteArray feed(const QByteArray &data) {
        if (m_Done) {
            return data;
        }
        m_Head += data;
        for (;;) {
            const qsizetype eol = m_Head.indexOf('\n', m_Scanned);
            if (eol < 0) {
                break;
            }
            const QByteArray line = m_Head.mid(m_Scanned, eol + 1 - m_Scanned);
            if (m_Scanned == 0) {
                m_Eol = line.endsWith("\r\n") ? "\r\n" : "\n";
            }
            if (line == "\n" || line == "\r\n") {
                return finish(m_Scanned);
            }
            if (line.size() > 11 && line.left(11).toLower() == "message-id:") {
                m_Found = true;
                m_InId = true;
                m_Id = line.mid(11).trimmed();
            } else if (line.startsWith(' ') || line.startsWith('\t')) {
                if (m_InId) {
                    m_Id += line.trimmed();
                }
            } else if (IsFieldLine(line)) {
                m_InId = false;
            } else {
                // Not a header block (or its end was lost): nothing is
                // added to what may be the body.
                m_Done = true;
                return std::exchange(m_Head, {});
            }
            m_Scanned = eol + 1;
        }
        if (m_Head.size() > kHeaderScanLimit) {
            m_Done = true; // too long to be a header block worth scanning
            return std::exchange(m_Head, {});
        }
        return {};
    }
    // At the end of the input: what is left, with a Message-ID added when
    // the whole input was a header block without one.
    QByteArray end() {
        if (m_Done) {
            return {};
        }
        return finish(m_Head.endsWith('\n') ? m_Head.size() : -1);
    }
    QString messageId() const { return QString::fromUtf8(m_Id); }

private:
    // Ends the scan with the block's fields before `at`; a Message-ID goes
    // there when none was found (`at` -1: nowhere fits).
    QByteArray finish(qsizetype at) {
        m_Done = true;
        if (!m_Found && at >= 0) {
            m_Id = "<" + sendmail::NewMessageId(m_Sender).toUtf8() + ">";
            m_Head.insert(at, "Message-ID: " + m_Id + m_Eol);
        }
        return std::exchange(m_Head, {});
    }

    QString m_Sender;
    QByteArray m_Head;
    QByteArray m_Id;
    QByteArray m_Eol = "\r\n";
    qsizetype m_Scanned = 0;
    bool m_Found = false;
    bool m_InId = false;
    bool m_Done = false;
};

} // namespace

MessageLock &MessageLock::operator=(MessageLock &&other) noexcept {
    if (this != &other) {
        if (m_Fd >= 0) {
            ::close(m_Fd);
        }
        m_Fd = std::exchange(other.m_Fd, -1);
    }
    return *this;
}

MessageLock::~MessageLock() {
    if (m_Fd >= 0) {
        ::close(m_Fd);
    }
}

QString StoreErrorName(StoreError error) {
    switch (error) {
    case StoreError::None:
        return "stored";
    case StoreError::NoSpace:
        return "no space left";
    case StoreError::WriteError:
        return "write error";
    case StoreError::ReadError:
        return "read error";
    case StoreError::BadRequest:
        return "bad request";
    case StoreError::Exists:
        return "exists";
    }
    return "error";
}

QueueFolder::QueueFolder(const QString &path, Clock clock)
    : m_Path(QDir::cleanPath(path)), m_Clock(std::move(clock)) {}

QDateTime QueueFolder::now() const {
    return (m_Clock ? m_Clock() : QDateTime::currentDateTimeUtc()).toUTC();
}

QString QueueFolder::messagePath(const QString &id) const {
    return m_Path + "/" + id + ".msg";
}

bool QueueFolder::open(QString *error) {
    for (const QString &dir : {m_Path, m_Path + "/tmp"}) {
        if (!QDir().mkpath(dir)) {
            *error = QString("cannot create the queue folder %1").arg(dir);
            return false;
        }
        struct stat st {};
        if (::stat(Native(dir).constData(), &st) != 0 ||
            ((st.st_mode & 077) != 0 && ::chmod(Native(dir).constData(), 0700) != 0)) {
            *error =
                QString("cannot make the queue folder %1 private: %2").arg(dir, SystemError(errno));
            return false;
        }
    }
    return true;
}

StoreResult QueueFolder::store(QIODevice &message, const StoreRequest &request) {
    StoreResult result;
    if (request.recipients.isEmpty() || (!request.id.isEmpty() && !IsValidId(request.id))) {
        result.error = StoreError::BadRequest;
        result.errorText = request.recipients.isEmpty() ? "no recipient" : "bad queue id";
        return result;
    }
    auto fail = [&result](StoreError kind, const QString &what, int error) {
        result.error = kind;
        result.errorText = error ? QString("%1: %2").arg(what, SystemError(error)) : what;
        return result;
    };
    const QDateTime created = now();
    int error = 0;

    // The bytes, into a temporary file that stays locked until the record
    // is in place.
    QString id = request.id.isEmpty() ? NewId(created) : request.id;
    QString temp;
    Fd fd;
    for (int tries = 0; fd.get() < 0; ++tries) {
        temp = m_Path + "/tmp/" + id + "." +
               QString::number(QRandomGenerator::system()->generate64(), 16) + ".msg";
        fd.reset(CreateLocked(temp, &error));
        if (fd.get() < 0 && (error != EEXIST || tries > 100)) {
            return fail(ErrorKind(error),
                        QString("cannot create a file in the queue folder %1").arg(m_Path), error);
        }
    }
    auto discard = [&] { ::unlink(Native(temp).constData()); };

    HeaderScan scan(request.sender);
    QByteArray chunk(kChunk, Qt::Uninitialized);
    qint64 size = 0;
    auto put = [&](const QByteArray &bytes) {
        size += bytes.size();
        return WriteAll(fd.get(), bytes.constData(), bytes.size(), &error);
    };
    for (;;) {
        const qint64 n = message.read(chunk.data(), chunk.size());
        if (n < 0) {
            discard();
            return fail(StoreError::ReadError,
                        QString("cannot read the message: %1").arg(message.errorString()), 0);
        }
        if (n == 0) {
            if (message.isSequential() && !message.atEnd() &&
                message.waitForReadyRead(kReadWaitMs)) {
                continue;
            }
            break;
        }
        if (!put(scan.feed(QByteArray::fromRawData(chunk.constData(), n)))) {
            discard();
            return fail(ErrorKind(error),
                        QString("cannot write to the queue folder %1").arg(m_Path), error);
        }
    }
    if (!put(scan.end()) || ::fsync(fd.get()) != 0) {
        if (error == 0) {
            error = errno;
        }
        discard();
        return fail(ErrorKind(error), QString("cannot write to the queue folder %1").arg(m_Path),
                    error);
    }

    // Into place under a name nobody has: a link fails where a file exists.
    for (int tries = 0;; ++tries) {
        if (::link(Native(temp).constData(), Native(messagePath(id)).constData()) == 0) {
            break;
        }
        error = errno;
        if (error == EEXIST && !request.id.isEmpty() && tries == 0 &&
            !QFileInfo::exists(m_Path + "/" + id + ".env")) {
            // A fixed id whose earlier store was killed before its record:
            // that was never stored, so it goes.
            RemoveIfAbandoned(messagePath(id), true, QDateTime::currentDateTimeUtc());
            continue;
        }
        if (error != EEXIST || tries > 100 || !request.id.isEmpty()) {
            discard();
            return fail(error == EEXIST ? StoreError::Exists : ErrorKind(error),
                        QString("cannot write to the queue folder %1").arg(m_Path), error);
        }
        id = NewId(created);
    }
    discard(); // the open file keeps the inode and its lock

    MessageRecord record;
    record.id = id;
    record.account = request.account;
    record.sender = request.sender;
    record.messageId = scan.messageId();
    record.created = created;
    record.since = created;
    record.size = size;
    record.isNotice = request.isNotice;
    QStringList seen;
    for (const QString &address : request.recipients) {
        // Each recipient once: a second entry would get a second copy.
        if (!seen.contains(address, Qt::CaseInsensitive)) {
            seen << address;
            RecipientRecord rcpt;
            rcpt.address = address;
            record.recipients << rcpt;
        }
    }
    if (!ReplaceDurably(m_Path, m_Path + "/" + id + ".env", EncodeRecord(record), &error)) {
        ::unlink(Native(messagePath(id)).constData());
        return fail(ErrorKind(error), QString("cannot write to the queue folder %1").arg(m_Path),
                    error);
    }
    result.id = id;
    result.messageId = record.messageId;
    result.size = size;
    return result;
}

QueueEntry QueueFolder::load(const QString &id) const {
    QueueEntry entry;
    entry.id = id;
    QFile file(m_Path + "/" + id + ".env");
    if (!file.open(QIODevice::ReadOnly)) {
        entry.damaged = true;
        entry.error = QString("cannot read the record: %1").arg(file.errorString());
        return entry;
    }
    // A record is a few hundred bytes a recipient; anything near this size
    // is not one.
    const QByteArray bytes = file.read(16 * 1024 * 1024);
    ParsedRecord parsed = ParseRecord(bytes);
    if (!parsed.ok) {
        entry.damaged = true;
        entry.error = parsed.error;
        return entry;
    }
    if (parsed.record.id != id) {
        entry.damaged = true;
        entry.error = QString("the record names another id (%1)").arg(parsed.record.id);
        return entry;
    }
    const QFileInfo msg(messagePath(id));
    if (!msg.exists() || msg.size() != parsed.record.size) {
        entry.damaged = true;
        entry.error = !msg.exists() ? QString("the message file is missing")
                                    : QString("the message file has %1 bytes, the record says %2")
                                          .arg(msg.size())
                                          .arg(parsed.record.size);
    }
    entry.record = std::move(parsed.record);
    return entry;
}

QList<QueueEntry> QueueFolder::list() const {
    QList<QueueEntry> entries;
    const QStringList records = QDir(m_Path).entryList({"*.env"}, QDir::Files, QDir::Name);
    for (const QString &name : records) {
        const QString id = name.chopped(4);
        if (IsValidId(id)) {
            entries << load(id);
        }
    }
    std::stable_sort(entries.begin(), entries.end(), [](const QueueEntry &a, const QueueEntry &b) {
        return a.record.created != b.record.created ? a.record.created < b.record.created
                                                    : a.id < b.id;
    });
    return entries;
}

LockResult QueueFolder::tryLock(const QString &id, MessageLock &lock) const {
    const QByteArray path = Native(messagePath(id));
    Fd fd(::open(path.constData(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        return LockResult::Missing;
    }
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        return LockResult::Busy;
    }
    // Removed (and perhaps stored anew) between the open and the lock:
    // what we hold is no longer the message.
    struct stat held {
    }, current{};
    if (::fstat(fd.get(), &held) != 0 || ::stat(path.constData(), &current) != 0 ||
        held.st_ino != current.st_ino || held.st_dev != current.st_dev ||
        !QFileInfo::exists(m_Path + "/" + id + ".env")) {
        return LockResult::Missing;
    }
    lock = MessageLock(fd.release());
    return LockResult::Locked;
}

bool QueueFolder::isBusy(const QString &id) const {
    Fd fd(::open(Native(messagePath(id)).constData(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        return false;
    }
    if (::flock(fd.get(), LOCK_SH | LOCK_NB) != 0) {
        return true;
    }
    return false;
}

bool QueueFolder::save(const MessageRecord &record, QString *error) {
    int err = 0;
    if (!ReplaceDurably(m_Path, m_Path + "/" + record.id + ".env", EncodeRecord(record), &err)) {
        *error = QString("cannot write the record of %1: %2").arg(record.id, SystemError(err));
        return false;
    }
    return true;
}

bool QueueFolder::remove(const QString &id, QString *error) {
    int err = 0;
    const QByteArray record = Native(m_Path + "/" + id + ".env");
    if ((::unlink(record.constData()) != 0 && errno != ENOENT) || !SyncFolder(m_Path, &err)) {
        *error = QString("cannot remove %1: %2").arg(id, SystemError(err ? err : errno));
        return false;
    }
    ::unlink(Native(messagePath(id)).constData());
    SyncFolder(m_Path, &err);
    return true;
}

CleanupReport QueueFolder::cleanup(qint64 graceSeconds) {
    CleanupReport report;
    const QDateTime oldest = QDateTime::currentDateTimeUtc().addSecs(-graceSeconds);
    auto removeIfAbandoned = [&](const QString &file, bool needsNoRecord) {
        if (RemoveIfAbandoned(file, needsNoRecord, oldest)) {
            report.removed << QFileInfo(file).fileName();
        }
    };
    const QDir tmp(m_Path + "/tmp");
    for (const QString &name : tmp.entryList(QDir::Files | QDir::Hidden)) {
        removeIfAbandoned(tmp.filePath(name), false);
    }
    const QDir queue(m_Path);
    for (const QString &name : queue.entryList({"*.msg"}, QDir::Files)) {
        if (!QFileInfo::exists(queue.filePath(name.chopped(4) + ".env"))) {
            removeIfAbandoned(queue.filePath(name), true);
        }
    }
    return report;
}

bool QueueFolder::retry(const QString &id, QString *error) {
    if (!IsValidId(id)) {
        *error = QString("%1: not a queue id").arg(id);
        return false;
    }
    MessageLock lock;
    switch (tryLock(id, lock)) {
    case LockResult::Busy:
        *error = QString("%1 is being delivered").arg(id);
        return false;
    case LockResult::Missing:
        *error = QString("%1: no such message in the queue").arg(id);
        return false;
    case LockResult::Locked:
        break;
    }
    QueueEntry entry = load(id);
    if (entry.damaged) {
        *error = QString("%1 is damaged: %2").arg(id, entry.error);
        return false;
    }
    if (!Retry(entry.record, now())) {
        *error = QString("%1 has nothing to retry (%2)")
                     .arg(id, MessageStateName(StateOf(entry.record)));
        return false;
    }
    return save(entry.record, error);
}

bool QueueFolder::drop(const QString &id, QString *error) {
    if (!IsValidId(id)) {
        *error = QString("%1: not a queue id").arg(id);
        return false;
    }
    MessageLock lock;
    if (tryLock(id, lock) == LockResult::Busy) {
        *error = QString("%1 is being delivered").arg(id);
        return false;
    }
    // A damaged message (its record or file missing) is dropped too: this
    // is the explicit way to be rid of one.
    const bool any =
        QFileInfo::exists(m_Path + "/" + id + ".env") || QFileInfo::exists(messagePath(id));
    if (!any) {
        *error = QString("%1: no such message in the queue").arg(id);
        return false;
    }
    return remove(id, error);
}

} // namespace outbox
