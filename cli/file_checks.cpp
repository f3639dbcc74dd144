#include "cli/file_checks.h"

#include <QDeadlineTimer>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace kelmsend {

namespace {

const char kAccessAcl[] = "system.posix_acl_access";

QString systemError(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

QString kindOf(mode_t mode) {
    if (S_ISDIR(mode)) {
        return QStringLiteral("a directory");
    }
    if (S_ISCHR(mode) || S_ISBLK(mode)) {
        return QStringLiteral("a device");
    }
    if (S_ISSOCK(mode)) {
        return QStringLiteral("a socket");
    }
    if (S_ISFIFO(mode)) {
        return QStringLiteral("a pipe");
    }
    return QStringLiteral("not a regular file");
}

bool acceptable(mode_t mode, bool pipes) {
    return S_ISREG(mode) || (pipes && S_ISFIFO(mode));
}

class Descriptor {
public:
    explicit Descriptor(int fd) : m_fd(fd) {}
    ~Descriptor() {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    int get() const { return m_fd; }

private:
    int m_fd;
};

QString userName() {
    const passwd *pw = ::getpwuid(::geteuid());
    return pw ? QString::fromLocal8Bit(pw->pw_name) : QString::number(::geteuid());
}

bool ownerIsTrusted(uid_t owner) {
    return owner == ::geteuid() || owner == 0;
}

QString folderProblem(const QString &folder, const QString &path) {
    struct stat st {};
    const QByteArray name = QFile::encodeName(folder);
    if (::stat(name.constData(), &st) != 0) {
        return "cannot check the folder " + folder + " of " + path + ": " + systemError(errno);
    }
    if (!ownerIsTrusted(st.st_uid)) {
        return "the folder " + folder + " of " + path + " belongs to another user (uid " +
               QString::number(st.st_uid) + "), who can replace the file; keep it in a folder " +
               "of your own: chown " + userName() + " " + folder;
    }
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) && !(st.st_mode & S_ISVTX)) {
        const bool acl = ::getxattr(name.constData(), kAccessAcl, nullptr, 0) > 0;
        return "the folder " + folder + " of " + path +
               " can be written by other users, who can replace the file" +
               (acl ? QStringLiteral(" (an ACL entry lets them)") : QString()) +
               "; make it writable by you alone: chmod go-w " + folder;
    }
    return QString();
}

} // namespace

FileContent ReadBoundedFile(const QString &option, const QString &path, const ReadRules &rules) {
    FileContent c;
    const QByteArray name = QFile::encodeName(path);
    struct stat before {};
    if (::stat(name.constData(), &before) != 0) {
        c.error = errno == ENOENT ? option + ": no such file: " + path
                                  : option + ": cannot read " + path + ": " + systemError(errno);
        return c;
    }
    // Checked before the open as well: opening a FIFO or a device can block
    // or have effects of its own.
    if (!acceptable(before.st_mode, rules.pipes)) {
        c.error = option + ": cannot read " + path + ": it is " + kindOf(before.st_mode);
        return c;
    }
    const Descriptor fd(::open(name.constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    struct stat st {};
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0) {
        c.error = option + ": cannot read " + path + ": " + systemError(errno);
        return c;
    }
    if (!acceptable(st.st_mode, rules.pipes)) {
        c.error = option + ": cannot read " + path + ": it is " + kindOf(st.st_mode);
        return c;
    }
    c.owner = st.st_uid;
    c.mode = st.st_mode;
    c.acl = ::fgetxattr(fd.get(), kAccessAcl, nullptr, 0) > 0;

    const QDeadlineTimer deadline(kSecretWaitMs);
    QByteArray chunk(16 * 1024, Qt::Uninitialized);
    for (;;) {
        if (rules.firstLine && c.bytes.contains('\n')) {
            c.bytes.truncate(c.bytes.indexOf('\n') + 1);
            return c;
        }
        if (c.bytes.size() > rules.limit) {
            break;
        }
        const qint64 room = std::min<qint64>(chunk.size(), rules.limit + 1 - c.bytes.size());
        const ssize_t n = ::read(fd.get(), chunk.data(), static_cast<size_t>(room));
        if (n > 0) {
            c.bytes.append(chunk.constData(), n);
            continue;
        }
        if (n == 0) {
            return c;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EAGAIN) {
            c.error = option + ": cannot read " + path + ": " + systemError(errno);
            return c;
        }
        // A pipe whose writer has not written yet.
        pollfd p{fd.get(), POLLIN, 0};
        const int waitMs = static_cast<int>(deadline.remainingTime());
        if (waitMs <= 0 || ::poll(&p, 1, waitMs) == 0) {
            c.error = option + ": " + path + " gave no line within " +
                      QString::number(kSecretWaitMs / 1000) + " seconds";
            return c;
        }
    }
    c.bytes.clear();
    const QString bound = rules.limit >= 1024 * 1024
                              ? QString::number(rules.limit / (1024 * 1024)) + " MiB"
                              : QString::number(rules.limit / 1024) + " KiB";
    c.error = option + ": " + path +
              (rules.firstLine ? " has a first line longer than " : " is larger than ") + bound;
    return c;
}

QString CheckOnlyOwnerCanChange(const QString &path, const FileContent &content) {
    if (!ownerIsTrusted(content.owner)) {
        return path + " belongs to another user (uid " + QString::number(content.owner) +
               "), who can change what it runs and where the password goes; use a file of " +
               "your own: chown " + userName() + " " + path;
    }
    if (content.mode & (S_IWGRP | S_IWOTH)) {
        return path + " can be written by other users" +
               (content.acl ? QStringLiteral(" (an ACL entry lets them)") : QString()) +
               ", who can change what it runs and where the password goes; make it writable " +
               "by you alone: chmod go-w " + path;
    }
    const QFileInfo info(path);
    QStringList folders{info.absolutePath()};
    const QString canonical = info.canonicalFilePath();
    if (!canonical.isEmpty() && QFileInfo(canonical).absolutePath() != folders[0]) {
        folders << QFileInfo(canonical).absolutePath();
    }
    for (const QString &folder : folders) {
        if (QString problem = folderProblem(folder, path); !problem.isEmpty()) {
            return problem;
        }
    }
    return QString();
}

} // namespace kelmsend
