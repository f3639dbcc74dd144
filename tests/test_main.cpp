#include <QApplication>
#include <QTemporaryDir>
#include <gtest/gtest.h>

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // Per-user settings of the component must never touch the real user's
    // store: every test process gets a fresh configuration folder unless the
    // caller chose one (a test that re-runs itself passes its own on).
    QTemporaryDir config;
    if (qEnvironmentVariableIsEmpty("KELM_KEEP_XDG_CONFIG_HOME"))
        qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
