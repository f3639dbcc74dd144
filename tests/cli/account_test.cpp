// The configuration file: what it refuses (with the file, line and key),
// how an account fills in what the command line leaves open, and where the
// file is looked for.
#include "cli/account.h"
#include "cli/options.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "qt_printers.h"
#include "row_name.h"
#include "temp_files.h"

#include <map>

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

} // namespace
