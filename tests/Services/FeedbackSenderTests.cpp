#include "AppTestSupport.h"

#include "Quillora/Services/FeedbackSender.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSysInfo>
#include <gtest/gtest.h>
#include <memory>

namespace {

using FeedbackSender::Error;

class Feedback : public testing::Test {
protected:
    void SetUp() override { useService(server.url("/svc")); }

    void useService(const QString& address) {
        info = std::make_unique<InfoIni>(QStringList{"CFBundleShortVersionString=2.1.0",
                                                     "CFBundleVersion=210", "QuilloraServiceURL=" + address});
    }

    void answer(int status, QByteArray body, QByteArray type = "application/json") {
        server.setReply("/svc/api/feedback", {status, std::move(type), std::move(body), {}});
    }

    // Sends and waits for the outcome: no error (accepted) or the error.
    std::optional<Error> send(const FeedbackSender::Message& message) {
        bool finished = false;
        std::optional<Error> outcome;
        QObject context;
        FeedbackSender::send(message, &context, [&](std::optional<Error> error) {
            finished = true;
            outcome = std::move(error);
        });
        EXPECT_TRUE(waitUntil([&] { return finished; }));
        return outcome;
    }

    LocalHttpServer server;
    std::unique_ptr<InfoIni> info;
};

TEST_F(Feedback, RequestBodyAndHeaders) {
    answer(200, R"({"ok":true})");
    ASSERT_FALSE(send({"Registra male", "Ada", "ada@example.org", std::nullopt, std::nullopt}));
    ASSERT_EQ(server.requests().size(), 1);
    const LocalHttpServer::Request& request = server.requests().first();
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.path, "/svc/api/feedback"); // one separator between the base path and the API's
    EXPECT_EQ(request.headers.value("content-type"), "application/json");
    EXPECT_FALSE(request.body.contains('\n')); // compact

    const QJsonObject expected{
        {"message", "Registra male"},
        {"name", "Ada"},
        {"email", "ada@example.org"},
        {"diagnostics", ""},
        {"platform", "linux"},
        {"app", QJsonObject{{"version", "2.1.0"},
                            {"build", "210"},
                            {"macOS", QSysInfo::prettyProductName()},
                            {"arch", QSysInfo::buildCpuArchitecture()},
                            {"microphone", ""}}},
    };
    EXPECT_EQ(QJsonDocument::fromJson(request.body).object(), expected);

    // With the report and a known microphone, and a base address that already ends in a separator.
    useService(server.url("/svc/"));
    ASSERT_FALSE(
        send({"Ciao", "", "", QStringLiteral("Quillora 2.1.0 ..."), QStringLiteral("Microfono USB")}));
    ASSERT_EQ(server.requests().size(), 2);
    EXPECT_EQ(server.requests()[1].path, "/svc/api/feedback");
    const QJsonObject body = QJsonDocument::fromJson(server.requests()[1].body).object();
    EXPECT_EQ(body.value("diagnostics"), "Quillora 2.1.0 ...");
    EXPECT_EQ(body.value("app").toObject().value("microphone"), "Microfono USB");
    EXPECT_EQ(body.value("name"), "");
}

TEST_F(Feedback, AcceptedLogsTheMessageLengthInUserPerceivedCharacters) {
    answer(200, R"({"ok":true,"id":"abc"})");
    // 12 characters as a reader counts them: a thumb with a skin tone and an "e" with a combining accent
    // are one each, although they take 16 UTF-16 units and more bytes.
    const QString message = QStringLiteral("Grazie! \U0001F44D\U0001F3FD te\u0301");
    ASSERT_EQ(message.size(), 16);
    EXPECT_FALSE(send({message, "", "", std::nullopt, std::nullopt}));
    EXPECT_TRUE(logText().endsWith(" Feedback inviato (12 caratteri)\n"));

    EXPECT_EQ(FeedbackSender::characterCount(QStringLiteral("\U0001F468\u200D\U0001F469\u200D\U0001F467")),
              1);
    EXPECT_EQ(FeedbackSender::characterCount(QStringLiteral("\U0001F1EE\U0001F1F9ok")), 3); // a flag
    EXPECT_EQ(FeedbackSender::characterCount(""), 0);
}

TEST_F(Feedback, AnythingButAnAcceptanceIsRefused) {
    struct Case {
        int status;
        QByteArray body;
        QByteArray type;
        QString description;
    };
    const QString noAnswer = "Il servizio non ha risposto. Riprova tra poco.";
    const QList<Case> cases{
        {201, R"({"ok":true})", "application/json", noAnswer},
        {400, R"({"ok":false,"error":"Messaggio troppo lungo"})", "application/json",
         "Messaggio troppo lungo"},
        {200, R"({"ok":false,"error":"Servizio in manutenzione"})", "application/json",
         "Servizio in manutenzione"},
        {200, "<html><body>Proxy</body></html>", "text/html", noAnswer},
        {200, R"({"ok":false})", "application/json", noAnswer},
        {200, R"({"ok":"true"})", "application/json", noAnswer},           // not a boolean
        {200, R"({"ok":false,"error":42})", "application/json", noAnswer}, // not a string
        {200, R"([{"ok":true}])", "application/json", noAnswer},
        {500, R"({"ok":false,"error":""})", "application/json", noAnswer}, // nothing to show
        {500, "", "text/plain", noAnswer},
        {200, QByteArray(100 * 1024, ' ') + R"({"ok":true})", "application/json", noAnswer}, // past the limit
    };
    const QString before = logText();
    for (const Case& c : cases) {
        answer(c.status, c.body, c.type);
        const std::optional<Error> error = send({"Ciao", "", "", std::nullopt, std::nullopt});
        ASSERT_TRUE(error) << c.status << " " << c.body.left(60).toStdString();
        EXPECT_EQ(error->kind, Error::Kind::refused);
        EXPECT_EQ(error->domain, "Quillora");
        EXPECT_EQ(error->code, 1);
        EXPECT_EQ(error->description, c.description) << c.status << " " << c.body.left(60).toStdString();
    }
    EXPECT_EQ(logText(), before); // refusals are the caller's to report
}

TEST_F(Feedback, TransportFailureKeepsQtsDescription) {
    useService(QStringLiteral("http://127.0.0.1:%1/").arg(closedPort()));
    const std::optional<Error> error = send({"Ciao", "", "", std::nullopt, std::nullopt});
    ASSERT_TRUE(error);
    EXPECT_EQ(error->kind, Error::Kind::transport);
    EXPECT_TRUE(error->description.contains("refused", Qt::CaseInsensitive))
        << error->description.toStdString();
}

TEST_F(Feedback, UnusableServiceAddressSendsNothing) {
    for (const QString& address : {QStringLiteral("non un indirizzo"), QStringLiteral("http://192.0.2.1/svc"),
                                   QStringLiteral("ftp://127.0.0.1/")}) {
        useService(address);
        const std::optional<Error> error = send({"Ciao", "", "", std::nullopt, std::nullopt});
        ASSERT_TRUE(error) << address.toStdString();
        EXPECT_EQ(error->kind, Error::Kind::invalidAddress);
        EXPECT_TRUE(error->description.startsWith("Indirizzo del servizio di feedback non utilizzabile"));
        EXPECT_TRUE(error->description.contains(address));
    }
    EXPECT_TRUE(server.requests().isEmpty());
}

TEST_F(Feedback, RedirectsAwayFromThisMachineAreNotFollowed) {
    server.setReply("/svc/api/feedback",
                    {307, "text/plain", "", {{"Location", "http://192.0.2.1/api/feedback"}}});
    const std::optional<Error> error = send({"Ciao", "", "", std::nullopt, std::nullopt});
    ASSERT_TRUE(error);
    EXPECT_EQ(error->kind, Error::Kind::transport);
    EXPECT_TRUE(error->description.contains("reindirizzamento")) << error->description.toStdString();
}

TEST_F(Feedback, NothingIsReportedToAContextThatIsGone) {
    server.setReply("/svc/api/feedback", {200, "application/json", "", {}, true});
    bool called = false;
    {
        QObject context;
        FeedbackSender::send({"Ciao", "", "", std::nullopt, std::nullopt}, &context,
                             [&](std::optional<Error>) { called = true; });
        ASSERT_TRUE(waitUntil([&] { return !server.requests().isEmpty(); }));
    }
    spin(std::chrono::milliseconds(30));
    EXPECT_FALSE(called);
}

TEST(FeedbackResponse, DecodesOnlyAnObjectWithABooleanOk) {
    EXPECT_FALSE(FeedbackSender::decodeResponse("").has_value());
    EXPECT_FALSE(FeedbackSender::decodeResponse("{}").has_value());
    EXPECT_FALSE(FeedbackSender::decodeResponse(R"({"ok":1})").has_value());
    const auto plain = FeedbackSender::decodeResponse(R"({"ok":true,"extra":[1,2]})");
    ASSERT_TRUE(plain);
    EXPECT_TRUE(plain->ok);
    EXPECT_FALSE(plain->error);
    const auto nullError = FeedbackSender::decodeResponse(R"({"ok":false,"error":null})");
    ASSERT_TRUE(nullError);
    EXPECT_FALSE(nullError->error);
}

} // namespace
