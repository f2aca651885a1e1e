#include "AppTestSupport.h"

#include "Platform/Audio/Simulated/SimulatedAudioHardware.h"
#include "Quillora/Services/AppInfo.h"
#include "QuilloraCore/Diagnostics.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSysInfo>
#include <gtest/gtest.h>
#include <unistd.h>

namespace {

void writeFile(const QString& path, const QByteArray& contents) {
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(contents);
}

QString logPath() {
    return QString::fromStdString(Diagnostics::fileURL().string());
}

TEST(AppInfo, ReadsTheChosenInfoIni) {
    const InfoIni info({"CFBundleShortVersionString=2.1.0", "CFBundleVersion=210",
                        "QuilloraServiceURL=https://feedback.example.org/base/",
                        "SUFeedURL=https://updates.example.org/appcast.xml"});
    EXPECT_EQ(AppInfo::infoFilePath(), info.path());
    EXPECT_EQ(AppInfo::version(), "2.1.0");
    EXPECT_EQ(AppInfo::build(), "210");
    ASSERT_TRUE(AppInfo::serviceURL().usable());
    EXPECT_EQ(AppInfo::serviceURL().url, QUrl("https://feedback.example.org/base/"));
    EXPECT_EQ(AppInfo::feedURLString(), "https://updates.example.org/appcast.xml");
}

TEST(AppInfo, MissingEntriesFallBack) {
    const InfoIni info({"Unrelated=1", "CFBundleVersion=1,2"}); // a list, not a string
    EXPECT_EQ(AppInfo::version(), "dev");
    EXPECT_EQ(AppInfo::build(), "dev");
    const WebAccess::Address service = AppInfo::serviceURL();
    ASSERT_TRUE(service.usable());
    EXPECT_EQ(service.url.scheme(), "https");
    EXPECT_FALSE(service.url.host().isEmpty());
    EXPECT_EQ(AppInfo::feedURLString(), "");

    qputenv("QUILLORA_INFO_INI", "/nonexistent/Info.ini");
    EXPECT_EQ(AppInfo::version(), "dev");
}

TEST(AppInfo, TheBuildGeneratesInfoIniFromTheProjectVersion) {
    qputenv("QUILLORA_INFO_INI", QUILLORA_GENERATED_INFO_INI);
    EXPECT_EQ(AppInfo::version(), QUILLORA_PROJECT_VERSION);
    EXPECT_NE(AppInfo::build(), "dev");
    EXPECT_TRUE(WebAccess::check(AppInfo::feedURLString()).usable());
    EXPECT_TRUE(AppInfo::serviceURL().usable());
    qunsetenv("QUILLORA_INFO_INI");

    // Without a choice, the file beside the executable (the build tree's layout).
    EXPECT_EQ(AppInfo::infoFilePath(), QCoreApplication::applicationDirPath() + "/Info.ini");
}

TEST(AppInfo, OnlyHttpsOrThisMachineIsUsed) {
    for (const char* usable :
         {"https://feedback.example.org", "http://127.0.0.1:8080/svc", "http://127.1.2.3/",
          "http://[::1]:9000/", "http://localhost/", "HTTPS://Example.org/x"}) {
        EXPECT_TRUE(WebAccess::check(usable).usable()) << usable;
    }
    for (const char* refused : {"", "   ", "feedback.example.org", "/api", "ftp://example.org/",
                                "http://example.org/", "http://192.0.2.1/", "https://",
                                "https://exa mple.org/", "file:///etc/passwd", "javascript:alert(1)"}) {
        const WebAccess::Address address = WebAccess::check(refused);
        EXPECT_FALSE(address.usable()) << refused;
        EXPECT_FALSE(address.problem.isEmpty()) << refused;
    }
}

TEST(AppInfo, BundlePathIsTheAppImageOrTheExecutable) {
    qputenv("APPIMAGE", "/home/u/Applications/Quillora.AppImage");
    EXPECT_EQ(AppInfo::bundlePath(), "/home/u/Applications/Quillora.AppImage");
    qunsetenv("APPIMAGE");
    EXPECT_EQ(QFileInfo(AppInfo::bundlePath()).canonicalFilePath(),
              QFileInfo(QCoreApplication::applicationFilePath()).canonicalFilePath());
}

class Report : public testing::Test {
protected:
    void SetUp() override {
        auto hardware = std::make_unique<SimulatedAudioHardware>();
        sim = hardware.get();
        AudioHardware::setShared(std::move(hardware));
        Diagnostics::flush();
        QFile::remove(logPath());
    }
    void TearDown() override {
        AudioHardware::setShared(nullptr);
        qunsetenv("APPIMAGE");
    }

    void addDevices() {
        SimulatedAudioHardware::DeviceConfig microphone;
        microphone.name = "Microfono USB";
        microphone.uid = "mic-usb";
        microphone.inputStreams = {1};
        sim->addDevice(microphone);
        SimulatedAudioHardware::DeviceConfig headphones;
        headphones.name = "Cuffie";
        headphones.uid = "cuffie";
        headphones.outputStreams = {2};
        sim->addDevice(headphones);
    }

    SimulatedAudioHardware* sim = nullptr;
};

TEST_F(Report, LinesInOrderWithTheLogTail) {
    const InfoIni info({"CFBundleShortVersionString=2.1.0", "CFBundleVersion=210"});
    qputenv("APPIMAGE", "/opt/Quillora.AppImage");
    addDevices();
    sim->addProcess(::getpid(), "quillora", true);
    sim->addProcess(4242, "chromium", true);
    sim->addProcess(4243, "pipewire", true);
    sim->addProcess(4244, "us.zoom.Zoom", true);
    sim->addProcess(4245, "slack", false); // not capturing

    // 500 non-empty lines, with blank lines among them that must neither show nor count.
    QByteArray log;
    for (int line = 1; line <= 500; ++line) {
        log += "2026-12-05T10:07:01.123Z riga " + QByteArray::number(line) + "\n";
        if (line % 7 == 0) {
            log += "\n\n";
        }
    }
    log += "\n";
    writeFile(logPath(), log);

    const QStringList lines = AppInfo::diagnostics(std::nullopt).split('\n');
    ASSERT_EQ(lines.size(), 7 + 120);
    EXPECT_EQ(lines[0], QStringLiteral("Quillora 2.1.0 (210) \u00B7 %1 \u00B7 %2")
                            .arg(QSysInfo::prettyProductName(), QSysInfo::buildCpuArchitecture()));
    EXPECT_EQ(lines[1], "App: /opt/Quillora.AppImage");
    EXPECT_EQ(lines[2], "Microfono: Microfono USB");
    EXPECT_EQ(lines[3], "Uscita: Cuffie");
    EXPECT_EQ(lines[4], "App che usano il microfono: chromium, us.zoom.Zoom");
    EXPECT_EQ(lines[5], "");
    EXPECT_EQ(lines[6], "--- ultime righe del log ---");
    for (int i = 0; i < 120; ++i) {
        EXPECT_EQ(lines[7 + i], QStringLiteral("2026-12-05T10:07:01.123Z riga %1").arg(381 + i));
    }

    // A microphone named by the caller wins over the default input device.
    const QStringList named = AppInfo::diagnostics(QStringLiteral("Cuffie con microfono")).split('\n');
    EXPECT_EQ(named[2], "Microfono: Cuffie con microfono");
}

TEST_F(Report, NothingKnownAndNoLog) {
    const InfoIni info(QStringList{});
    const QString report = AppInfo::diagnostics(std::nullopt);
    const QStringList lines = report.split('\n');
    ASSERT_EQ(lines.size(), 7);
    EXPECT_TRUE(lines[0].startsWith("Quillora dev (dev) \u00B7 "));
    EXPECT_EQ(lines[2], "Microfono: nessuno");
    EXPECT_EQ(lines[3], "Uscita: nessuna");
    EXPECT_EQ(lines[4], "App che usano il microfono: ");
    EXPECT_TRUE(report.endsWith("--- ultime righe del log ---")); // no line feed after the last line
}

TEST_F(Report, UnreadableDeviceNamesReadAsNone) {
    addDevices();
    sim->setPropertyFailure(SimulatedAudioHardware::kAnyObject, kAudioObjectPropertyName);
    const QStringList lines = AppInfo::diagnostics(std::nullopt).split('\n');
    EXPECT_EQ(lines[2], "Microfono: nessuno");
    EXPECT_EQ(lines[3], "Uscita: nessuna");
}

class LogTail : public testing::Test {
protected:
    QString path() const { return dir.filePath("log"); }
    QTemporaryDir dir;
};

TEST_F(LogTail, LongLinesWidenTheWindow) {
    // 300 lines of 1000 bytes: far more than the first window holds.
    QByteArray text;
    for (int line = 0; line < 300; ++line) {
        text += QByteArray::number(line).leftJustified(999, '.') + "\n";
    }
    writeFile(path(), text);
    const QStringList lines = AppInfo::lastLines(path(), 120);
    ASSERT_EQ(lines.size(), 120);
    EXPECT_TRUE(lines.first().startsWith("180."));
    EXPECT_TRUE(lines.last().startsWith("299."));
    EXPECT_EQ(lines.last().size(), 999);

    // Fewer lines than asked for: all of them, without a trailing line feed.
    writeFile(path(), "uno\n\ndue\ntre");
    EXPECT_EQ(AppInfo::lastLines(path(), 120), (QStringList{"uno", "due", "tre"}));
}

TEST_F(LogTail, ReadsAtMostTheByteLimit) {
    // Ten 100-byte lines; a 350-byte limit holds the last three whole ones and part of a fourth.
    QByteArray text;
    for (int line = 0; line < 10; ++line) {
        text += QByteArray::number(line).leftJustified(99, '-') + "\n";
    }
    writeFile(path(), text);
    const QStringList lines = AppInfo::lastLines(path(), 120, 350);
    ASSERT_EQ(lines.size(), 3);
    EXPECT_TRUE(lines[0].startsWith("7-"));
    EXPECT_TRUE(lines[2].startsWith("9-"));
}

TEST_F(LogTail, UnreadableOrNotUtf8GivesNothing) {
    EXPECT_TRUE(AppInfo::lastLines(dir.filePath("missing"), 120).isEmpty());
    writeFile(path(), "buona\nriga \xff\xfe rotta\n");
    EXPECT_TRUE(AppInfo::lastLines(path(), 120).isEmpty());
    // UTF-8 beyond ASCII is fine.
    writeFile(path(), "perché già\n");
    EXPECT_EQ(AppInfo::lastLines(path(), 120), QStringList{QStringLiteral("perché già")});
}

TEST_F(LogTail, ASequenceCutAtALineEndIsNotUtf8) {
    // "é" split by a line feed: neither half is UTF-8 on its own, and the halves are not joined.
    writeFile(path(), "uno\n\xc3\n\xa9 due\n");
    EXPECT_TRUE(AppInfo::lastLines(path(), 120).isEmpty());
    // Cut at the end of the file.
    writeFile(path(), "uno\ndue \xc3");
    EXPECT_TRUE(AppInfo::lastLines(path(), 120).isEmpty());
}

} // namespace
