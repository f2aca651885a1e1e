// Sending feedback to a service the test runs on 127.0.0.1: the request, and every answer but an
// acceptance turned into an error the form can show.
#include "AppTestSupport.h"
#include "Quillora/Services/FeedbackSender.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSysInfo>
#include <gtest/gtest.h>

namespace {

using FeedbackSender::Error;

class Feedback : public testing::Test {
protected:
    void SetUp() override { useService(server.url("/svc")); }
    void useService(const QString& address) {
        info = std::make_unique<InfoIni>(QStringList{"CFBundleShortVersionString=2.1.0",
                                                     "CFBundleVersion=210", "QuilloraServiceURL=" + address});
    }
    void answer(LocalHttpServer::Reply reply) { server.setReply("/svc/api/feedback", std::move(reply)); }
    std::optional<Error> send(const QString& text = "Ciao", std::optional<QString> report = std::nullopt,
                              std::optional<QString> microphone = std::nullopt) {
        bool finished = false;
        std::optional<Error> outcome;
        QObject context;
        FeedbackSender::send({text, "Ada", "ada@example.org", report, microphone}, &context,
                             [&](std::optional<Error> error) {
                                 finished = true;
                                 outcome = std::move(error);
                             });
        EXPECT_TRUE(waitUntil([&] { return finished; }));
        return outcome;
    }

    LocalHttpServer server;
    std::unique_ptr<InfoIni> info;
};

TEST_F(Feedback, AcceptedRequestCarriesTheMessageAndTheApp) {
    answer({200, "application/json", R"({"ok":true,"id":"abc"})", {}});
    // 12 characters as a reader counts them (a thumb with a skin tone, an "e" with a combining accent),
    // in 16 UTF-16 units.
    EXPECT_FALSE(send(QStringLiteral("Grazie! \U0001F44D\U0001F3FD te\u0301")));
    EXPECT_TRUE(logText().endsWith(" Feedback inviato (12 caratteri)\n"));
    const LocalHttpServer::Request& request = server.requests().first();
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.path, "/svc/api/feedback");
    EXPECT_EQ(request.headers.value("content-type"), "application/json");
    const QJsonObject app{{"version", "2.1.0"},
                          {"build", "210"},
                          {"macOS", QSysInfo::prettyProductName()},
                          {"arch", QSysInfo::buildCpuArchitecture()},
                          {"microphone", ""}};
    EXPECT_EQ(QJsonDocument::fromJson(request.body).object(),
              (QJsonObject{{"message", QStringLiteral("Grazie! \U0001F44D\U0001F3FD te\u0301")},
                           {"name", "Ada"},
                           {"email", "ada@example.org"},
                           {"diagnostics", ""},
                           {"platform", "linux"},
                           {"app", app}}));

    // With the report and the microphone, to a base address that ends in a separator.
    useService(server.url("/svc/"));
    EXPECT_FALSE(send("Ciao", QStringLiteral("Quillora 2.1.0 ..."), QStringLiteral("Microfono USB")));
    EXPECT_EQ(server.requests()[1].path, "/svc/api/feedback");
    const QJsonObject body = QJsonDocument::fromJson(server.requests()[1].body).object();
    EXPECT_EQ(body.value("diagnostics"), "Quillora 2.1.0 ...");
    EXPECT_EQ(body.value("app").toObject().value("microphone"), "Microfono USB");
    EXPECT_EQ(FeedbackSender::characterCount(QStringLiteral("\U0001F1EE\U0001F1F9ok")), 3); // a flag
}

TEST_F(Feedback, AnythingButAnAcceptanceIsRefused) {
    const QString noAnswer = FeedbackSender::noAnswerText;
    const QList<std::tuple<int, QByteArray, QString>> cases{
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
    const QString before = logText();
    for (const auto& [status, body, description] : cases) {
        answer({status, "application/json", body, {}});
        const std::optional<Error> error = send();
        ASSERT_TRUE(error) << status << " " << body.left(60).toStdString();
        EXPECT_EQ(error->kind, Error::Kind::refused);
        EXPECT_EQ(error->description, description) << status << " " << body.left(60).toStdString();
    }
    EXPECT_EQ(logText(), before); // refusals are the caller's to report
}

TEST_F(Feedback, NoServiceNoUnsafeAddressNoRedirectAwayNoLateAnswer) {
    answer({307, "text/plain", "", {{"Location", "http://192.0.2.1/api/feedback"}}});
    std::optional<Error> error = send();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->kind, Error::Kind::transport);
    EXPECT_TRUE(error->description.contains("reindirizzamento")) << error->description.toStdString();

    useService(QStringLiteral("http://127.0.0.1:%1/").arg(closedPort()));
    error = send();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->kind, Error::Kind::transport);
    EXPECT_TRUE(error->description.contains("refused", Qt::CaseInsensitive))
        << error->description.toStdString();

    const qsizetype requests = server.requests().size();
    for (const QString& address :
         {QStringLiteral("non un indirizzo"), QStringLiteral("http://192.0.2.1/svc")}) {
        useService(address);
        error = send();
        ASSERT_TRUE(error) << address.toStdString();
        EXPECT_EQ(error->kind, Error::Kind::invalidAddress);
        EXPECT_TRUE(error->description.contains(address));
    }
    EXPECT_EQ(server.requests().size(), requests);

    // A form gone while its request waits hears nothing.
    useService(server.url("/svc"));
    answer({200, "application/json", "", {}, true});
    bool called = false;
    {
        QObject context;
        FeedbackSender::send({"Ciao", "", "", std::nullopt, std::nullopt}, &context,
                             [&](std::optional<Error>) { called = true; });
        ASSERT_TRUE(waitUntil([&] { return server.requests().size() > requests; }));
    }
    spin(std::chrono::milliseconds(30));
    EXPECT_FALSE(called);
}

} // namespace
