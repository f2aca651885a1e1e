// The feedback form on the offscreen platform, sending to a service the test runs on 127.0.0.1.
#include "Quillora/Desktop/Feedback.h"
#include "Quillora/Desktop/OverlayViews.h"
#include "Quillora/Services/FeedbackSender.h"
#include "Services/AppTestSupport.h"

#include <QCheckBox>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;

class FeedbackForm : public testing::Test {
protected:
    FeedbackForm() {
        QSettings().clear();
        server.setReply("/svc/api/feedback", {200, R"({"ok":true})"});
    }
    void open(std::optional<QString> microphone = std::nullopt) {
        view = std::make_unique<FeedbackView>(std::move(microphone), [this] { ++closes; });
        view->show();
    }
    template <typename T = QWidget>
    T* child(const char* name) {
        T* widget = view->findChild<T*>(name);
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }
    void type(const QString& text) { child<QPlainTextEdit>("message")->setPlainText(text); }
    QJsonValue sent(const char* field) const {
        return QJsonDocument::fromJson(server.requests.constLast().body).object().value(field);
    }

    LocalHttpServer server;
    InfoIni info{{"CFBundleShortVersionString=3.0.0", "QuilloraServiceURL=" + server.url("/svc")}};
    std::unique_ptr<FeedbackView> view;
    int closes = 0;
};

TEST_F(FeedbackForm, SendsWhatWasTypedAndRemembersWhoSentIt) {
    for (const auto& [message, sendable] : {std::pair{"a", false}, std::pair{"  \n\t \n ", false},
                                            std::pair{" \n e\u0301 \n", false}, std::pair{" ok ", true}}) {
        EXPECT_EQ(FeedbackView::isSendable(QString::fromUtf8(message)), sendable) << message;
    }
    open(QStringLiteral("Microfono USB"));
    type("x");
    EXPECT_FALSE(child<QPushButton>("send")->isEnabled());
    QTest::keyClick(child<QLineEdit>("name"), Qt::Key_Return); // too short: nothing goes
    view->submit();
    QTest::keyClicks(child<QLineEdit>("name"), "Ada");
    QTest::keyClicks(child<QLineEdit>("email"), "ada@example.org");
    type("  ok \n");
    QTest::keyClick(child<QLineEdit>("name"), Qt::Key_Return);
    ASSERT_TRUE(waitUntil([&] { return view->sent(); }));
    ASSERT_EQ(server.requests.size(), 1);
    EXPECT_EQ(sent("message"), "  ok \n"); // as typed
    EXPECT_EQ(sent("name"), "Ada");
    EXPECT_EQ(sent("diagnostics").toString(), view->diagnostics()); // attached by default
    EXPECT_TRUE(view->diagnostics().contains("Microfono USB"));
    EXPECT_TRUE(child("thanks")->isVisibleTo(view.get()));
    QTest::keyClick(child<QPushButton>("done"), Qt::Key_Return);
    EXPECT_EQ(closes, 1);

    // The next form starts with the name and address, an empty message, and can leave the report out.
    open();
    EXPECT_EQ(child<QLineEdit>("email")->text(), "ada@example.org");
    EXPECT_EQ(child<QPlainTextEdit>("message")->toPlainText(), "");
    child<QCheckBox>("includeReport")->click();
    type("Senza resoconto");
    child<QPushButton>("send")->click();
    ASSERT_TRUE(waitUntil([&] { return view->sent(); }));
    EXPECT_EQ(sent("diagnostics"), "");
    EXPECT_EQ(sent("app").toObject().value("microphone"), "");
}

TEST_F(FeedbackForm, OneSendAtATimeAndAFailureKeepsTheForm) {
    server.setReply("/svc/api/feedback", {200, R"({"ok":false,"error":"Messaggio troppo lungo."})"});
    open();
    type("Prova");
    QTest::keyClick(child<QPlainTextEdit>("message"), Qt::Key_Return); // a line break, not a send
    EXPECT_FALSE(view->sending());
    child<QPushButton>("send")->click();
    ASSERT_TRUE(waitUntil([&] { return !view->sending(); }));
    EXPECT_EQ(child<QLabel>("error")->text(), "Messaggio troppo lungo.");
    EXPECT_TRUE(child("error")->isVisibleTo(view.get()));
    EXPECT_EQ(child<QPlainTextEdit>("message")->toPlainText().trimmed(), "Prova");
    EXPECT_TRUE(child<QPushButton>("send")->isEnabled());

    server.setReply("/svc/api/feedback", {200, "", "", true}); // never answers
    child<QPushButton>("send")->click();
    EXPECT_FALSE(child("error")->isVisibleTo(view.get())) << "the error stays during the next attempt";
    child<QPushButton>("send")->click();
    QTest::keyClick(child<QLineEdit>("name"), Qt::Key_Return);
    runEventsFor(200ms);
    EXPECT_EQ(server.requests.size(), 2);
    EXPECT_TRUE(view->sending());
    QTest::keyClick(child<QLineEdit>("name"), Qt::Key_Escape);
    EXPECT_EQ(closes, 1);
}

TEST_F(FeedbackForm, TheModelOpensOneWindowAndKeepsTheDraft) {
    ModelHarness harness;
    PanelViews panels(*harness.model);
    harness.model->setViews(&panels);
    const auto message = [&] { return panels.feedbackWindow()->findChild<QPlainTextEdit*>("message"); };
    harness.model->openFeedback();
    QWidget* window = panels.feedbackWindow();
    ASSERT_TRUE(window != nullptr && window->isVisible());
    message()->setPlainText("bozza");
    window->close(); // the title bar's close only hides it
    harness.model->openFeedback();
    ASSERT_EQ(panels.feedbackWindow(), window);
    EXPECT_EQ(message()->toPlainText(), "bozza");
    window->findChild<QPushButton*>("cancel")->click();
    EXPECT_EQ(panels.feedbackWindow(), nullptr);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    harness.model->openFeedback();
    EXPECT_EQ(message()->toPlainText(), "");
    harness.model->setViews(nullptr);
}

} // namespace
