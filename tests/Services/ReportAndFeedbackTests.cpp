// Info.ini, the addresses the program may use, the report with the log's tail, and sending feedback to a
// service on 127.0.0.1: the request, and every answer but an acceptance refused.
#include "AppTestSupport.h"
#include "Quillora/Services/AppInfo.h"
#include "Quillora/Services/FeedbackSender.h"
#include "QuilloraCore/Diagnostics.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSysInfo>
#include <unistd.h>

namespace {

// Info.ini's keys are read by the tests below; here, what stands in for missing keys, and the build's.
TEST(AppInfo, FallsBackWithoutInfoIniKeysAndTheBuildsCarriesTheVersion) {
    const InfoIni info({"Unrelated=1", "CFBundleVersion=1,2"}); // a list, not a string
    EXPECT_EQ(AppInfo::version() + " " + AppInfo::build(), "dev dev");
    EXPECT_TRUE(AppInfo::serviceURL().usable()); // the built-in service
    EXPECT_EQ(AppInfo::feedURLString(), "");
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
        log += "riga " + QByteArray::number(line) + (line % 7 == 0 ? "\n\n\n" : "\n"); // blanks not counted
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
    EXPECT_EQ(AppInfo::lastLines(path, 120, 2500).size(), 2); // two whole lines and part of a third

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

using FeedbackSender::Error;

class Feedback : public testing::Test {
protected:
    void useService(const QString& address) {
        info = std::make_unique<InfoIni>(QStringList{"CFBundleShortVersionString=2.1.0",
                                                     "CFBundleVersion=210", "QuilloraServiceURL=" + address});
    }
    void answer(LocalHttpServer::Reply reply) { server.setReply("/svc/api/feedback", std::move(reply)); }
    std::optional<Error> send(const QString& text = "Ciao", std::optional<QString> report = std::nullopt,
                              std::optional<QString> microphone = std::nullopt) {
        std::optional<std::optional<Error>> outcome;
        QObject context;
        FeedbackSender::send({text, "Ada", "ada@example.org", report, microphone}, &context,
                             [&](std::optional<Error> error) { outcome = std::move(error); });
        EXPECT_TRUE(waitUntil([&] { return outcome.has_value(); }));
        return outcome.value_or(std::nullopt);
    }

    LocalHttpServer server;
    std::unique_ptr<InfoIni> info;
};

TEST_F(Feedback, AcceptedRequestCarriesTheMessageAndTheApp) {
    useService(server.url("/svc"));
    answer({200, R"({"ok":true,"id":"abc"})"});
    // 12 characters as a reader counts them (a toned thumb, a combined accent) in 16 UTF-16 units.
    const QString message = QStringLiteral("Grazie! \U0001F44D\U0001F3FD te\u0301");
    const LogSince log;
    EXPECT_FALSE(send(message));
    EXPECT_EQ(log.count(" Feedback inviato (12 caratteri)\n"), 1u);
    const LocalHttpServer::Request& request = server.requests.first();
    EXPECT_EQ(request.method + " " + request.path + " " + request.headers.value("content-type"),
              "POST /svc/api/feedback application/json");
    const QString json = R"({"message":"%1","name":"Ada","email":"ada@example.org","diagnostics":"",)"
                         R"("platform":"linux","app":{"version":"2.1.0","build":"210","macOS":"%2",)"
                         R"("arch":"%3","microphone":""}})";
    const QString expected =
        json.arg(message, QSysInfo::prettyProductName(), QSysInfo::buildCpuArchitecture());
    EXPECT_EQ(QJsonDocument::fromJson(request.body), QJsonDocument::fromJson(expected.toUtf8()));
    useService(server.url("/svc/")); // with the report and the microphone, to a base ending in "/"
    EXPECT_FALSE(send("Ciao", QStringLiteral("Quillora 2.1.0 ..."), QStringLiteral("Microfono USB")));
    const QJsonObject second = QJsonDocument::fromJson(server.requests[1].body).object();
    EXPECT_EQ(server.requests[1].path, "/svc/api/feedback");
    EXPECT_EQ(second.value("diagnostics"), "Quillora 2.1.0 ...");
    EXPECT_EQ(second.value("app").toObject().value("microphone"), "Microfono USB");
    EXPECT_EQ(FeedbackSender::characterCount(QStringLiteral("\U0001F1EE\U0001F1F9ok")), 3); // a flag
}

TEST_F(Feedback, AnythingButAnAcceptanceIsRefused) {
    useService(server.url("/svc"));
    const QString noAnswer = FeedbackSender::noAnswerText;
    const std::tuple<int, QByteArray, QString> cases[] = {
        {201, R"({"ok":true})", noAnswer},
        {400, R"({"ok":false,"error":"Messaggio troppo lungo"})", "Messaggio troppo lungo"},
        {200, R"({"ok":false,"error":"Servizio in manutenzione"})", "Servizio in manutenzione"},
        {200, "<html><body>Proxy</body></html>", noAnswer},
        {200, R"({"ok":false})", noAnswer},
        {200, R"({"ok":"true"})", noAnswer},
        {200, R"({"ok":false,"error":42})", noAnswer},
        {200, R"([{"ok":true}])", noAnswer},
        {500, R"({"ok":false,"error":""})", noAnswer},
        {200, QByteArray(100 * 1024, ' ') + R"({"ok":true})", noAnswer}, // past the size limit
    };
    const LogSince log;
    for (const auto& [status, reply, description] : cases) {
        answer({status, reply});
        const std::optional<Error> error = send();
        ASSERT_TRUE(error) << status << " " << reply.left(60).toStdString();
        EXPECT_EQ(error->kind, Error::Kind::refused);
        EXPECT_EQ(error->description, description) << status << " " << reply.left(60).toStdString();
    }
    EXPECT_EQ(log.text(), ""); // refusals are the caller's to report
}

TEST_F(Feedback, NoServiceNoUnsafeAddressNoRedirectAwayNoLateAnswer) {
    answer({307, "", "http://192.0.2.1/api/feedback"});
    const std::tuple<QString, Error::Kind, QString> cases[] = {
        {server.url("/svc"), Error::Kind::transport, "reindirizzamento"}, // a redirect away is not followed
        {"http://127.0.0.1:1/", Error::Kind::transport, "refused"},       // nothing listens there
        {"non un indirizzo", Error::Kind::invalidAddress, "non un indirizzo"},
        {"http://192.0.2.1/svc", Error::Kind::invalidAddress, "http://192.0.2.1/svc"}, // not https
    };
    for (const auto& [address, kind, described] : cases) {
        useService(address);
        const std::optional<Error> error = send();
        ASSERT_TRUE(error) << address.toStdString();
        EXPECT_EQ(error->kind, kind) << address.toStdString();
        EXPECT_TRUE(error->description.contains(described, Qt::CaseInsensitive))
            << error->description.toStdString();
    }
    EXPECT_EQ(server.requests.size(), 1);

    useService(server.url("/svc")); // a form gone while its request waits hears nothing
    answer({200, "", "", true});
    bool called = false;
    {
        QObject context;
        FeedbackSender::send({"Ciao", "", "", std::nullopt, std::nullopt}, &context,
                             [&](std::optional<Error>) { called = true; });
        ASSERT_TRUE(waitUntil([&] { return server.requests.size() == 2; }));
    }
    runEventsFor(30ms);
    EXPECT_FALSE(called);
}

} // namespace
