// Reading the small files that kelmsend's options name (the configuration,
// a password or token file) without trusting them: what is read is bounded
// in bytes and in time, a device or socket is refused before it is read,
// and a file that steers the login (the configuration) must be one that
// only its user can change.
#pragma once

#include <QByteArray>
#include <QString>

namespace kelmsend {

// The largest configuration file kelmsend reads.
inline constexpr qint64 kMaxConfigBytes = 1024 * 1024;
// The longest first line of a password or token file, or of what
// --password-command prints.
inline constexpr qint64 kMaxSecretLineBytes = 64 * 1024;
// How long a pipe (--password-file <(command)) may take to deliver its
// first line; the same time --password-command gets.
inline constexpr int kSecretWaitMs = 300 * 1000;

struct ReadRules {
    qint64 limit = 0;       // bytes; more is refused
    bool firstLine = false; // stop at the first LF (the limit counts up to it)
    bool pipes = false;     // a pipe or FIFO is read too, for up to kSecretWaitMs
};

struct FileContent {
    QByteArray bytes; // with firstLine: the first line and its LF, if any
    QString error;    // "" when the file could be read
    uint owner = 0;   // the file's owner and mode bits, as read from the open file
    uint mode = 0;
    bool acl = false; // the file carries a POSIX access ACL
};

// Reads `path` for `option` (the option or variable that named it, which
// starts every message: "--password-file: no such file: PATH"). Only a
// regular file is read, or with rules.pipes a pipe as well; a folder, a
// device (/dev/zero) or a socket is refused without a read. A file longer
// than rules.limit (with rules.firstLine: whose first line is) is refused.
[[nodiscard]] FileContent ReadBoundedFile(const QString &option, const QString &path,
                                          const ReadRules &rules);

// Whether the file that was read (`content`) and its folder can be changed
// only by the caller: owned by the caller or root, and not writable by group
// or others. With a POSIX ACL the group bits of the mode are the ACL's mask,
// so a named user or group with write access shows as group write. A folder
// with the sticky bit (/tmp) may be writable by all: nobody can replace a
// file of another user in it. Returns "" or the message that names the file
// or folder and what to change.
[[nodiscard]] QString CheckOnlyOwnerCanChange(const QString &path, const FileContent &content);

} // namespace kelmsend
