// Bundle information from Info.ini, the addresses the program may talk to, and the diagnostics report with
// the log's last lines.
#include "AppTestSupport.h"
#include "Quillora/Services/AppInfo.h"
#include "QuilloraCore/Diagnostics.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <unistd.h>

namespace {

TEST(AppInfo, ReadsInfoIniAndFallsBack) {
    {
        const InfoIni info({"CFBundleShortVersionString=2.1.0", "CFBundleVersion=210",
                            "QuilloraServiceURL=https://feedback.example.org/base/",
                            "SUFeedURL=https://updates.example.org/appcast.xml"});
        EXPECT_EQ(AppInfo::version() + " " + AppInfo::build(), "2.1.0 210");
        EXPECT_EQ(AppInfo::serviceURL().url, QUrl("https://feedback.example.org/base/"));
        EXPECT_EQ(AppInfo::feedURLString(), "https://updates.example.org/appcast.xml");
    }
    const InfoIni info({"Unrelated=1", "CFBundleVersion=1,2"}); // a list, not a string
    EXPECT_EQ(AppInfo::version() + " " + AppInfo::build(), "dev dev");
    EXPECT_TRUE(AppInfo::serviceURL().usable()); // the built-in service
    EXPECT_EQ(AppInfo::feedURLString(), "");

    // The one the build generates, which is also the default beside the executable.
    qputenv("QUILLORA_INFO_INI", QUILLORA_GENERATED_INFO_INI);
    EXPECT_EQ(AppInfo::version(), QUILLORA_PROJECT_VERSION);
    EXPECT_TRUE(WebAccess::check(AppInfo::feedURLString()).usable());
    qunsetenv("QUILLORA_INFO_INI");
    EXPECT_EQ(AppInfo::infoFilePath(), QCoreApplication::applicationDirPath() + "/Info.ini");
}

TEST(WebAccess, OnlyHttpsOrThisMachineIsUsed) {
    for (const char* usable : {"https://feedback.example.org", "http://127.1.2.3/", "http://[::1]:9000/",
                               "http://localhost/", "HTTPS://Example.org/x"}) {
        EXPECT_TRUE(WebAccess::check(usable).usable()) << usable;
    }
    for (const char* refused : {"", "feedback.example.org", "/api", "ftp://example.org/",
                                "http://example.org/", "http://192.0.2.1/", "https://",
                                "https://exa mple.org/", "file:///etc/passwd", "javascript:alert(1)"}) {
        const WebAccess::Address address = WebAccess::check(refused);
        EXPECT_FALSE(address.usable() || address.problem.isEmpty()) << refused;
    }
}

TEST(AppInfo, ReportListsTheSystemThenTheLogTail) {
    const InfoIni info({"CFBundleShortVersionString=2.1.0", "CFBundleVersion=210"});
    auto hardware = std::make_unique<SimulatedAudioHardware>();
    SimulatedAudioHardware* sim = hardware.get();
    AudioHardware::setShared(std::move(hardware));
    EXPECT_EQ(AppInfo::diagnostics(std::nullopt).split('\n').mid(2, 3),
              (QStringList{"Microfono: nessuno", "Uscita: nessuna", "App che usano il microfono: "}));
    sim->addDevice(simulatedDevice("Microfono USB", {1}, {}));
    sim->addDevice(simulatedDevice("Cuffie", {}, {2}));
    sim->addProcess(::getpid(), "quillora", true);
    sim->addProcess(4242, "chromium", true);
    sim->addProcess(4243, "pipewire", true);
    sim->addProcess(4245, "slack", false); // not capturing
    QByteArray log;
    for (int line = 1; line <= 500; ++line) {
        log += "riga " + QByteArray::number(line) +
               (line % 7 == 0 ? "\n\n\n" : "\n"); // blank lines do not count
    }
    Diagnostics::flush();
    writeFile(QString::fromStdString(Diagnostics::fileURL().string()), log);

    const QStringList lines = AppInfo::diagnostics(std::nullopt).split('\n');
    AudioHardware::setShared(nullptr);
    ASSERT_EQ(lines.size(), 7 + 120);
    EXPECT_TRUE(lines[0].startsWith("Quillora 2.1.0 (210) ")) << lines[0].toStdString();
    EXPECT_EQ(lines.mid(2, 3), (QStringList{"Microfono: Microfono USB", "Uscita: Cuffie",
                                            "App che usano il microfono: chromium"}));
    EXPECT_EQ(lines[7], "riga 381");
    EXPECT_EQ(lines.last(), "riga 500");
}

TEST(AppInfo, LogTailReadsWholeUtf8LinesWithinItsLimit) {
    QTemporaryDir dir;
    const QString path = dir.filePath("log");
    QByteArray text;
    for (int line = 0; line < 300; ++line) { // far more than the first window holds
        text += QByteArray::number(line).leftJustified(999, '.') + "\n";
    }
    writeFile(path, text);
    const QStringList lines = AppInfo::lastLines(path, 120);
    ASSERT_EQ(lines.size(), 120);
    EXPECT_TRUE(lines.first().startsWith("180."));
    EXPECT_EQ(lines.last().size(), 999);
    // A 2500-byte limit holds the last two whole lines and part of a third.
    EXPECT_EQ(AppInfo::lastLines(path, 120, 2500).size(), 2);

    const std::pair<QByteArray, QStringList> cases[] = {
        {"uno\n\ndue\ntre", {"uno", "due", "tre"}},
        {"perché già\n", {QStringLiteral("perché già")}},
        {"buona\nriga \xff\xfe rotta\n", {}},
        {"uno\n\xc3\n\xa9 due\n", {}}, // a sequence cut by a line feed is not joined again
        {"uno\ndue \xc3", {}},
    };
    for (const auto& [contents, expected] : cases) {
        writeFile(path, contents);
        EXPECT_EQ(AppInfo::lastLines(path, 120), expected) << contents.toStdString();
    }
    EXPECT_TRUE(AppInfo::lastLines(dir.filePath("missing"), 120).isEmpty());
}

} // namespace
