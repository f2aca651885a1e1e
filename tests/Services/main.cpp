#include <QCoreApplication>
#include <QTemporaryDir>
#include <gtest/gtest.h>

// The log file's and the preferences' locations are fixed on first use for the whole process: point them
// at a private folder before anything logs or reads a preference, and start without an Info.ini choice.
int main(int argc, char** argv) {
    QTemporaryDir home;
    if (!home.isValid()) {
        return 1;
    }
    qputenv("XDG_STATE_HOME", (home.path() + QStringLiteral("/state")).toUtf8());
    qputenv("XDG_CONFIG_HOME", (home.path() + QStringLiteral("/config")).toUtf8());
    qunsetenv("QUILLORA_INFO_INI");
    qunsetenv("APPIMAGE");
    ::testing::InitGoogleTest(&argc, argv);
    QCoreApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
