#include "QuilloraCore/Diagnostics.h"

#include <QApplication>
#include <QTemporaryDir>
#include <gtest/gtest.h>

// The log's and the preferences' locations are fixed on first use: they go into a folder of this run
// before anything else runs, with desktop-entry lookups, on the offscreen platform, without an Info.ini.
int main(int argc, char** argv) {
    QTemporaryDir home;
    if (!home.isValid()) {
        return 1;
    }
    for (const char* name : {"STATE", "CONFIG", "DATA"}) {
        qputenv((QByteArray("XDG_") + name + "_HOME").constData(), (home.path() + '/' + name).toUtf8());
    }
    qunsetenv("QUILLORA_INFO_INI");
    qunsetenv("APPIMAGE");
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Tandrevel"));
    QApplication::setApplicationName(QStringLiteral("Quillora"));
    const int result = RUN_ALL_TESTS();
    Diagnostics::flush();
    return result;
}
