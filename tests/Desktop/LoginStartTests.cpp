// Starting at login: on from the first run, and once turned off (from the menu or by the desktop's
// settings) it stays off across later starts.
#include "Quillora/Desktop/LoginStart.h"

#include <QFile>
#include <QSettings>
#include <gtest/gtest.h>

namespace {

QByteArray entryText() {
    QFile file(LoginStart::entryPath());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

TEST(LoginStart, OnFromTheFirstRunAndOffStaysOff) {
    QSettings().remove(QStringLiteral("loginStartApplied"));
    ASSERT_TRUE(LoginStart::setEnabled(false));
    EXPECT_FALSE(LoginStart::isEnabled());

    LoginStart::applyAtStart(); // the first run
    EXPECT_TRUE(LoginStart::isEnabled());
    EXPECT_TRUE(entryText().contains("\nExec=")) << entryText().toStdString();
    EXPECT_TRUE(entryText().contains(" --autostart\n")) << entryText().toStdString();

    ASSERT_TRUE(LoginStart::setEnabled(false)); // "Avvia all'accesso" unticked
    LoginStart::applyAtStart();
    EXPECT_FALSE(LoginStart::isEnabled());
    EXPECT_FALSE(QFile::exists(LoginStart::entryPath()));

    // Turned off by a settings tool that keeps the file: off, and left as the tool wrote it.
    for (const QByteArray& off : {QByteArray("Hidden=true"), QByteArray("X-GNOME-Autostart-enabled=false")}) {
        ASSERT_TRUE(LoginStart::setEnabled(true));
        QFile file(LoginStart::entryPath());
        ASSERT_TRUE(file.open(QIODevice::Append));
        file.write(off + "\n");
        file.close();
        LoginStart::applyAtStart();
        EXPECT_FALSE(LoginStart::isEnabled()) << off.toStdString();
        EXPECT_TRUE(entryText().contains(off)) << off.toStdString();
    }
}

} // namespace
