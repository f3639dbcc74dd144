// The configuration file: what it refuses (with the file, line and key),
// how an account fills in what the command line leaves open, and where the
// file is looked for.
#include "cli/account.h"
#include "cli/file_checks.h"
#include "cli/options.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "qt_printers.h"
#include "row_name.h"
#include "temp_files.h"

#include <functional>
#include <map>

#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

using namespace kelmsend;

namespace {

struct BadFile {
    const char *name;
    QByteArray text;
    QString error; // after "f.ini:"
};

class ConfigRefused : public ::testing::TestWithParam<BadFile> {};

TEST_P(ConfigRefused, NamingTheLineAndTheKey) {
    const ConfigParse r = ParseConfig("f.ini", GetParam().text);
    EXPECT_FALSE(r.file);
    EXPECT_EQ(r.error, "f.ini:" + GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ConfigRefused,
    ::testing::Values(
        BadFile{"UnknownKey", "# c\n[a]\nserver = h\nsmtp-tls = yes\n",
                "4: unknown key \"smtp-tls\" (the keys: " + AccountKeys().join(", ") + ")"},
        BadFile{"PasswordItself", "[a]\npassword = x\n",
                "2: unknown key \"password\": the file holds no passwords; use password-file "
                "or password-command"},
        BadFile{"NotKeyValue", "[a]\n\nserver h\n",
                "3: not a [NAME] section or KEY = VALUE line: server h"},
        BadFile{"BadSection", "[a\n", "1: not a [NAME] section line: [a"},
        BadFile{"KeyBeforeSection", "; c\nserver = h\n",
                "2: key \"server\" stands before the first [NAME] section"},
        BadFile{"KeyTwice", "[a]\nuser = x\nuser = y\n",
                "3: key \"user\" is already set on line 2"},
        BadFile{"SectionTwice", "[a]\n[b]\n[a]\n", "3: account [a] is already defined on line 1"}),
    RowName());

Options merged(const QStringList &args, const QByteArray &text, const QString &section,
               QString *error) {
    Options o = ParseArguments(args).options.value_or(Options{});
    const ConfigParse parsed = ParseConfig("f.ini", text);
    EXPECT_TRUE(parsed.file) << parsed.error.toStdString();
    *error = ApplyAccount(o, *parsed.file, *parsed.file->section(section));
    return o;
}

TEST(Account, FillsInWhatTheCommandLineLeavesOpen) {
    const QByteArray text = "[default]\n"
                            "server = smtp.example.com:587\n"
                            "from = me@example.com\n"
                            "from-name = Me Myself\n"
                            "auth = yes\n"
                            "user = me\n"
                            "password-command = pass show mail\n"
                            "no-validate = off\n"
                            "trace = true\n";
    QString error;
    Options o = merged({"--to", "a@x.org"}, text, "default", &error);
    EXPECT_EQ(error, "");
    EXPECT_EQ(o.server, "smtp.example.com");
    EXPECT_EQ(o.port, 587);
    EXPECT_EQ(o.from, "me@example.com");
    EXPECT_EQ(o.fromName, "Me Myself");
    EXPECT_TRUE(o.auth);
    EXPECT_EQ(o.passwordCommand, "pass show mail");
    EXPECT_FALSE(o.noValidate);
    EXPECT_EQ(o.verbosity, Verbosity::Trace);
    EXPECT_EQ(CheckOptions(o), "");

    // The command line wins; the server and its port, the password sources
    // and the reporting each count as one setting.
    o = merged({"--to", "a@x.org", "--port", "25", "--from", "other@example.com", "--password-env",
                "PW", "-q"},
               text, "default", &error);
    EXPECT_EQ(error, "");
    EXPECT_EQ(o.server, "");
    EXPECT_EQ(o.port, 25);
    EXPECT_EQ(o.from, "other@example.com");
    EXPECT_EQ(o.passwordCommand, "");
    EXPECT_EQ(o.passwordEnv, "PW");
    EXPECT_EQ(o.verbosity, Verbosity::Quiet);
    EXPECT_EQ(CheckOptions(o), "");
}

TEST(Account, BadValuesNameTheFileLineAndKey) {
    QString error;
    merged({}, "[a]\nport = 70000\n", "a", &error);
    EXPECT_EQ(error, "f.ini:2: port: must be a port number from 1 to 65535, not \"70000\"");
    merged({}, "[a]\nauth = maybe\n", "a", &error);
    EXPECT_EQ(error, "f.ini:2: auth: must be true or false, not \"maybe\"");
    merged({}, "[a]\npassword-file = /f\npassword-command = x\n", "a", &error);
    EXPECT_EQ(error, "f.ini:3: password-command: the account already takes its password from "
                     "password-file (line 2); keep one");
    // A user that the command line does not use is no error when it comes
    // from the account.
    const Options o =
        merged({"--from", "a@x.org", "--to", "b@x.org"}, "[a]\nuser = u\n", "a", &error);
    EXPECT_EQ(error, "");
    EXPECT_EQ(CheckOptions(o), "");
}

// LoadAccount with a scripted environment over real files.
struct Load {
    QTemporaryDir dir;
    std::map<QString, QString> env;
    QString run(const QStringList &args, Options *out = nullptr) {
        Options o = ParseArguments(args).options.value_or(Options{});
        const QString r = LoadAccount(o, [this](const QString &name) -> std::optional<QString> {
            const auto it = env.find(name);
            return it == env.end() ? std::nullopt : std::optional<QString>(it->second);
        });
        if (out) {
            *out = o;
        }
        return r;
    }
};

TEST(LoadAccount, FindsTheFileAndPicksTheAccount) {
    Load l;
    l.env["XDG_CONFIG_HOME"] = l.dir.path();
    // No file: nothing to apply, unless an account was asked for.
    EXPECT_EQ(l.run({}), "");
    EXPECT_EQ(l.run({"--account", "work"}), "--account work: there is no configuration file (" +
                                                l.dir.path() + "/kelmsend/config)");

    QDir(l.dir.path()).mkpath("kelmsend");
    writeFile(l.dir, "kelmsend/config", "[default]\nfrom = d@x.org\n[work]\nfrom = w@x.org\n");
    Options o;
    EXPECT_EQ(l.run({}, &o), "");
    EXPECT_EQ(o.from, "d@x.org");
    EXPECT_EQ(l.run({"--account", "work"}, &o), "");
    EXPECT_EQ(o.from, "w@x.org");
    EXPECT_EQ(l.run({"--account", "home"}),
              "--account home: " + l.dir.path() + "/kelmsend/config has no [home] section");

    const QString other = writeFile(l.dir, "other", "[default]\nfrom = o@x.org\n");
    l.env["KELMSEND_CONFIG"] = other;
    EXPECT_EQ(l.run({}, &o), "");
    EXPECT_EQ(o.from, "o@x.org");
    EXPECT_EQ(l.run({"--config", l.dir.filePath("missing")}),
              "--config: no such file: " + l.dir.filePath("missing"));
}

TEST(LoadAccount, RefusesAFileWithASecretThatOthersCanRead) {
    Load l;
    const QString path = writeFile(l.dir, "config", "[default]\npassword-command = pass mail\n");
    for (QFile::Permissions readable : {QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup,
                                        QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther}) {
        ASSERT_TRUE(QFile::setPermissions(path, readable));
        EXPECT_EQ(l.run({"--config", path}),
                  path +
                      " holds password-command and can be read by other users; make it "
                      "private: chmod 600 " +
                      path);
    }
    ASSERT_TRUE(QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner));
    EXPECT_EQ(l.run({"--config", path}), "");
    // Without a secret the file may be readable.
    const QString plain = writeFile(l.dir, "plain", "[default]\nserver = h.example\n");
    ASSERT_TRUE(QFile::setPermissions(plain, QFile::ReadOwner | QFile::WriteOwner |
                                                 QFile::ReadGroup | QFile::ReadOther));
    EXPECT_EQ(l.run({"--config", plain}), "");
}

// Files that kelmsend must not read as a configuration: what only its user
// can change, of a bounded size, and no device or pipe. `prepare` gets the
// folder and the file (mode 0600, in a folder of mode 0700) and may change
// either; %f in `error` stands for the file, %d for the folder.
struct Untrusted {
    const char *name;
    std::function<void(const QString &folder, QString &file)> prepare;
    QString error;
};

// A POSIX access ACL that lets user `uid` read and write (mask rw).
bool grantWriteAcl(const QString &path, quint32 uid) {
    struct Entry {
        quint16 tag, perm;
        quint32 id;
    };
    const quint32 none = 0xFFFFFFFF;
    const Entry entries[] = {
        {0x01, 6, none}, {0x02, 6, uid}, {0x04, 4, none}, {0x10, 6, none}, {0x20, 0, none}};
    QByteArray blob(4, '\0');
    blob[0] = 2; // version
    for (const Entry &e : entries) {
        blob.append(reinterpret_cast<const char *>(&e), sizeof e);
    }
    return ::setxattr(QFile::encodeName(path).constData(), "system.posix_acl_access",
                      blob.constData(), static_cast<size_t>(blob.size()), 0) == 0;
}

void chmodOrFail(const QString &path, mode_t mode) {
    ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), mode), 0) << path.toStdString();
}

class UntrustedFile : public ::testing::TestWithParam<Untrusted> {};

TEST_P(UntrustedFile, IsRefusedNamingWhatToChange) {
    Load l;
    const QString folder = l.dir.filePath("conf");
    ASSERT_TRUE(QDir().mkpath(folder));
    chmodOrFail(folder, 0700);
    QString file = folder + "/config";
    {
        QFile f(file);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("[default]\npassword-command = echo pw\n");
    }
    chmodOrFail(file, 0600);
    GetParam().prepare(folder, file);
    if (::testing::Test::IsSkipped()) {
        return;
    }
    QString error = GetParam().error;
    error.replace("%f", file).replace("%d", folder);
    EXPECT_EQ(l.run({"--config", file}), error);
    chmodOrFail(folder, 0700); // the temporary folder can then be removed
}

const char *const kWrite =
    ", who can change what it runs and where the password goes; make it writable by you "
    "alone: chmod go-w ";

INSTANTIATE_TEST_SUITE_P(
    Table, UntrustedFile,
    ::testing::Values(
        Untrusted{"PrivateFileIsRead", [](const QString &, QString &) {}, ""},
        Untrusted{"WritableByGroupAndOthers",
                  [](const QString &, QString &f) { chmodOrFail(f, 0622); },
                  "%f can be written by other users" + QString(kWrite) + "%f"},
        Untrusted{"AclGrantsWrite",
                  [](const QString &, QString &f) {
                      if (!grantWriteAcl(f, 65534)) {
                          GTEST_SKIP() << "no POSIX ACLs on this file system";
                      }
                  },
                  "%f can be written by other users (an ACL entry lets them)" + QString(kWrite) +
                      "%f"},
        Untrusted{"OwnedByAnotherUser",
                  [](const QString &, QString &f) {
                      if (::geteuid() != 0 ||
                          ::chown(QFile::encodeName(f).constData(), 65534, 65534) != 0) {
                          GTEST_SKIP() << "only root can give a file away";
                      }
                  },
                  "%f belongs to another user (uid 65534), who can change what it runs and "
                  "where the password goes; use a file of your own: chown root %f"},
        Untrusted{"FolderWritableByOthers",
                  [](const QString &d, QString &) { chmodOrFail(d, 0777); },
                  "the folder %d of %f can be written by other users, who can replace the "
                  "file; make it writable by you alone: chmod go-w %d"},
        Untrusted{"StickyFolderLikeTmp", [](const QString &d, QString &) { chmodOrFail(d, 01777); },
                  ""},
        Untrusted{"Device", [](const QString &, QString &f) { f = "/dev/zero"; },
                  "--config: cannot read /dev/zero: it is a device"},
        Untrusted{"Fifo",
                  [](const QString &d, QString &f) {
                      f = d + "/fifo";
                      ASSERT_EQ(::mkfifo(QFile::encodeName(f).constData(), 0600), 0);
                  },
                  "--config: cannot read %f: it is a pipe"},
        Untrusted{"LargerThanOneMebibyte",
                  [](const QString &, QString &f) {
                      QFile file(f);
                      ASSERT_TRUE(file.open(QIODevice::Append));
                      file.write(QByteArray(kMaxConfigBytes, '#'));
                  },
                  "--config: %f is larger than 1 MiB"}),
    RowName());

} // namespace
