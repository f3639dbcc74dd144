// `cmake --install` of this build into a temporary prefix, then an outside
// project (tests/package/consumer) configured with find_package(KelmMail),
// built and run against it.
#include "kelmsend_support.h"

#include <QDir>
#include <QFileInfo>

using namespace clitest;

namespace {

TEST(Package, AnOutsideProjectBuildsAgainstTheInstalledComponent) {
    QTemporaryDir work;
    const QString prefix = work.filePath("prefix");
    const QString build = work.filePath("build");
    const QString binary = qEnvironmentVariable("KELM_BINARY_DIR");
    const QString source = qEnvironmentVariable("KELM_SOURCE_DIR");

    const Finished install =
        RunProgram("cmake", {"--install", binary, "--prefix", prefix}, {}, {}, 60000);
    ASSERT_EQ(install.exitCode, 0) << install.describe() << install.out.toStdString();
    for (const char *file : {"include/kelm/mail/send_mail.h", "include/kelm/net/socket.h",
                             "include/kelm/mime/compose.h", "include/kelm/mail/compose.h",
                             "include/kelm/dns/mx_query.h", "include/kelm/wait/msg_wait.h",
                             "include/kelm/outbox/runner.h", "bin/kelmsend"}) {
        EXPECT_TRUE(QFileInfo::exists(prefix + "/" + file)) << file;
    }

    QStringList configure{"-S",
                          source + "/tests/package/consumer",
                          "-B",
                          build,
                          "-G",
                          "Ninja",
                          "-DCMAKE_PREFIX_PATH=" + prefix,
                          "-DCMAKE_BUILD_TYPE=Debug"};
    if (qEnvironmentVariable("KELM_SANITIZE") == "ON") {
        // The libraries of a sanitizer build call into the sanitizers'
        // runtime: the consumer links it too.
        configure << "-DCMAKE_CXX_FLAGS=-fsanitize=address,undefined"
                  << "-DCMAKE_EXE_LINKER_FLAGS=-fsanitize=address,undefined";
    }
    const Finished configured = RunProgram("cmake", configure, {}, {}, 60000);
    ASSERT_EQ(configured.exitCode, 0) << configured.describe() << configured.out.toStdString();
    const Finished built = RunProgram("cmake", {"--build", build}, {}, {}, 120000);
    ASSERT_EQ(built.exitCode, 0) << built.describe() << built.out.toStdString();

    const Finished run = RunProgram(build + "/consumer", {}, {}, {}, 30000);
    EXPECT_EQ(run.exitCode, 0) << run.describe() << run.out.toStdString();
    EXPECT_EQ(run.out, "OK\n");

    const Finished installed = RunProgram(prefix + "/bin/kelmsend", {"content-type", "a.png"});
    EXPECT_EQ(installed.exitCode, 0) << installed.describe();
    EXPECT_EQ(installed.out, "image/png\n");

    // The sendmail link only when asked for; through it kelmsend is in
    // sendmail mode (here it finds no recipient in an empty message).
    EXPECT_FALSE(QFileInfo::exists(prefix + "/sbin/sendmail"));
    const QString linked = work.filePath("linked");
    const Finished withLink =
        RunProgram("cmake",
                   {"-DCMAKE_INSTALL_PREFIX=" + linked, "-DKELMSEND_INSTALL_SENDMAIL_LINK=ON", "-P",
                    binary + "/cmake_install.cmake"},
                   {}, {}, 60000);
    ASSERT_EQ(withLink.exitCode, 0) << withLink.describe();
    EXPECT_EQ(QFileInfo(linked + "/sbin/sendmail").symLinkTarget(), linked + "/bin/kelmsend");
    const Finished sendmail = RunProgram(linked + "/sbin/sendmail", {"-i"}, "Subject: x\n\n");
    EXPECT_EQ(sendmail.exitCode, 64) << sendmail.describe(); // EX_USAGE
    EXPECT_TRUE(sendmail.err.startsWith("kelmsend: no recipient")) << sendmail.describe();
}

} // namespace
