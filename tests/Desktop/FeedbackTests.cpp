// The feedback form on the offscreen platform, sending to a feedback service the test runs on 127.0.0.1:
// the remembered name and address, the send button's enabling rule, the attached report, the sending,
// failure and thank-you states, the keys, and the window the model opens.
#include "AppTestSupport.h"
#include "ManualClock.h"
#include "Quillora/Desktop/Feedback.h"
#include "Quillora/Desktop/OverlayViews.h"
#include "Quillora/Model/RecorderModel.h"
#include "Quillora/Services/FeedbackSender.h"
#include "Quillora/Services/PlatformServices.h"
#include "QuilloraCore/Diagnostics.h"

#include <QApplication>
#include <QCheckBox>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>
#include <memory>

using namespace std::chrono_literals;

namespace {

const QByteArray feedbackPath = "/svc/api/feedback";

QSettings preferences() {
    return QSettings(QStringLiteral("Tandrevel"), QStringLiteral("Quillora"));
}

class NoServices final : public PlatformServices {
public:
    void openLocation(const QUrl&) override {}
    void revealFile(const std::filesystem::path&) override {}
    void openSoundSettings() override {}
    void playAlertSound() override {}
    std::optional<QString> applicationName(const std::string&) override { return std::nullopt; }
};

} // namespace

class FeedbackTests : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void prefillsAndRemembersNameAndAddress();
    void sendButtonNeedsTwoCharacters();
    void attachesTheReportWhenChosen();
    void oneSendAtATime();
    void failureKeepsTheFormAndRetryClearsIt();
    void successShowsTheThankYouPage();
    void keys();
    void modelOpensOneWindow();

private:
    void makeView(std::optional<QString> microphone = std::nullopt);
    void answer(LocalHttpServer::Reply reply) { server_->setReply(feedbackPath, std::move(reply)); }
    template <typename T>
    T* child(const char* name) {
        T* widget = view_->findChild<T*>(QString::fromLatin1(name));
        if (widget == nullptr) {
            qFatal("no child %s", name);
        }
        return widget;
    }
    QJsonObject lastBody() const {
        return QJsonDocument::fromJson(server_->requests().constLast().body).object();
    }
    bool visible(const char* name) { return child<QWidget>(name)->isVisibleTo(view_.get()); }

    std::unique_ptr<LocalHttpServer> server_;
    std::unique_ptr<InfoIni> info_;
    std::unique_ptr<FeedbackView> view_;
    int closes_ = 0;
};

void FeedbackTests::init() {
    preferences().clear();
    server_ = std::make_unique<LocalHttpServer>();
    info_ = std::make_unique<InfoIni>(QStringList{"CFBundleShortVersionString=3.0.0", "CFBundleVersion=300",
                                                  "QuilloraServiceURL=" + server_->url("/svc")});
    answer({200, "application/json", R"({"ok":true})", {}});
    closes_ = 0;
}

void FeedbackTests::cleanup() {
    view_.reset();
    info_.reset();
    server_.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

void FeedbackTests::makeView(std::optional<QString> microphone) {
    view_ = std::make_unique<FeedbackView>(std::move(microphone), [this] { ++closes_; });
    view_->show();
    QVERIFY(QTest::qWaitForWindowExposed(view_.get()));
}

void FeedbackTests::prefillsAndRemembersNameAndAddress() {
    makeView();
    QCOMPARE(child<QLineEdit>("name")->text(), QString());
    QCOMPARE(child<QLineEdit>("email")->text(), QString());
    QCOMPARE(child<QLineEdit>("name")->placeholderText(), QStringLiteral("Nome (facoltativo)"));
    QCOMPARE(child<QLineEdit>("email")->placeholderText(),
             QStringLiteral("Email per la risposta (facoltativa)"));

    QTest::keyClicks(child<QLineEdit>("name"), QStringLiteral("Ada"));
    QTest::keyClicks(child<QLineEdit>("email"), QStringLiteral("ada@example.org"));
    child<QPlainTextEdit>("message")->setPlainText(QStringLiteral("Funziona bene"));
    child<QPushButton>("send")->click();
    QVERIFY(waitUntil([&] { return view_->sent(); }));
    QCOMPARE(lastBody().value("name").toString(), QStringLiteral("Ada"));
    QCOMPARE(lastBody().value("email").toString(), QStringLiteral("ada@example.org"));

    // Stored where the next run reads them, and a new form starts with them (and an empty message).
    QCOMPARE(preferences().value("feedbackName").toString(), QStringLiteral("Ada"));
    QCOMPARE(preferences().value("feedbackEmail").toString(), QStringLiteral("ada@example.org"));
    makeView();
    QCOMPARE(child<QLineEdit>("name")->text(), QStringLiteral("Ada"));
    QCOMPARE(child<QLineEdit>("email")->text(), QStringLiteral("ada@example.org"));
    QCOMPARE(child<QPlainTextEdit>("message")->toPlainText(), QString());

    // Clearing a field is remembered too.
    child<QLineEdit>("email")->clear();
    QCOMPARE(preferences().value("feedbackEmail").toString(), QString());
}

void FeedbackTests::sendButtonNeedsTwoCharacters() {
    QVERIFY(!FeedbackView::isSendable(QStringLiteral("a")));
    QVERIFY(!FeedbackView::isSendable(QStringLiteral("  \n\t \n ")));
    QVERIFY(!FeedbackView::isSendable(QStringLiteral(" \n e\u0301 \n"))); // one letter with its accent
    QVERIFY(FeedbackView::isSendable(QStringLiteral(" ok ")));

    makeView();
    auto* send = child<QPushButton>("send");
    auto* message = child<QPlainTextEdit>("message");
    QCOMPARE(send->text(), QStringLiteral("Invia feedback"));
    QVERIFY(!send->isEnabled());
    message->setPlainText(QStringLiteral("x"));
    QVERIFY(!send->isEnabled());
    message->setPlainText(QStringLiteral("  \n  "));
    QVERIFY(!send->isEnabled());
    view_->submit(); // nothing goes out while the rule says no
    spin(100ms);
    QVERIFY(server_->requests().isEmpty());

    message->setPlainText(QStringLiteral("  ok \n"));
    QVERIFY(send->isEnabled());
    send->click();
    QVERIFY(waitUntil([&] { return view_->sent(); }));
    QCOMPARE(server_->requests().size(), 1);
    QCOMPARE(lastBody().value("message").toString(), QStringLiteral("  ok \n")); // sent as typed
}

void FeedbackTests::attachesTheReportWhenChosen() {
    makeView(QStringLiteral("Microfono USB"));
    // The report is assembled when the form is shown, for the microphone it was given.
    QVERIFY(!view_->diagnostics().isEmpty());
    QVERIFY(view_->diagnostics().contains(QStringLiteral("Microfono USB")));
    QCOMPARE(child<QPlainTextEdit>("report")->toPlainText(), view_->diagnostics());

    auto* include = child<QCheckBox>("includeReport");
    QCOMPARE(
        include->text(),
        QStringLiteral("Allega informazioni tecniche (versione, dispositivi audio, log). Nessun audio."));
    QVERIFY(include->isChecked());
    auto* toggle = child<QToolButton>("reportToggle");
    QCOMPARE(toggle->text(), QStringLiteral("Vedi cosa viene inviato"));
    QVERIFY(visible("reportToggle"));
    QVERIFY(!visible("report")); // collapsed at first
    toggle->click();
    QVERIFY(visible("report"));

    child<QPlainTextEdit>("message")->setPlainText(QStringLiteral("Con il resoconto"));
    child<QPushButton>("send")->click();
    QVERIFY(waitUntil([&] { return view_->sent(); }));
    QCOMPARE(lastBody().value("diagnostics").toString(), view_->diagnostics());
    QCOMPARE(lastBody().value("app").toObject().value("microphone").toString(),
             QStringLiteral("Microfono USB"));

    // Unchecked: the group goes away and the report stays at home.
    makeView();
    child<QCheckBox>("includeReport")->click();
    QVERIFY(!visible("reportToggle"));
    QVERIFY(!visible("report"));
    child<QPlainTextEdit>("message")->setPlainText(QStringLiteral("Senza resoconto"));
    child<QPushButton>("send")->click();
    QVERIFY(waitUntil([&] { return view_->sent(); }));
    QCOMPARE(server_->requests().size(), 2);
    QCOMPARE(lastBody().value("diagnostics").toString(), QString());
    QCOMPARE(lastBody().value("app").toObject().value("microphone").toString(), QString());
}

void FeedbackTests::oneSendAtATime() {
    answer({200, "application/json", {}, {}, true}); // never answers
    makeView();
    auto* send = child<QPushButton>("send");
    child<QPlainTextEdit>("message")->setPlainText(QStringLiteral("In attesa"));
    send->click();
    QVERIFY(view_->sending());
    QVERIFY(!send->isEnabled());
    QCOMPARE(send->text(), QString()); // the spinner stands in for the label
    QVERIFY(waitUntil([&] { return server_->requests().size() == 1; }));

    // Neither the button nor Return start a second one.
    send->click();
    QTest::keyClick(child<QLineEdit>("name"), Qt::Key_Return);
    spin(200ms);
    QCOMPARE(server_->requests().size(), 1);
    QVERIFY(view_->sending());
    QVERIFY(!view_->sent());
}

void FeedbackTests::failureKeepsTheFormAndRetryClearsIt() {
    answer({200, "application/json", R"({"ok":false,"error":"Messaggio troppo lungo."})", {}});
    makeView();
    QVERIFY(!visible("error"));
    auto* send = child<QPushButton>("send");
    child<QPlainTextEdit>("message")->setPlainText(QStringLiteral("Prova"));
    child<QLineEdit>("name")->setText(QStringLiteral("Bea"));
    send->click();
    QVERIFY(waitUntil([&] { return !view_->sending(); }));
    QCOMPARE(view_->error(), std::optional<QString>(QStringLiteral("Messaggio troppo lungo.")));
    QVERIFY(visible("error"));
    QCOMPARE(child<QLabel>("error")->text(), QStringLiteral("Messaggio troppo lungo."));
    QVERIFY(!view_->sent());
    QVERIFY(send->isEnabled());
    QCOMPARE(send->text(), QStringLiteral("Invia feedback"));
    QCOMPARE(child<QPlainTextEdit>("message")->toPlainText(), QStringLiteral("Prova"));
    QCOMPARE(child<QLineEdit>("name")->text(), QStringLiteral("Bea"));

    // A service error page, then no service at all.
    answer({500, "text/html", "<h1>Errore</h1>", {}});
    send->click();
    QVERIFY(waitUntil([&] { return !view_->sending(); }));
    QCOMPARE(view_->error(), std::optional<QString>(FeedbackSender::noAnswerText));
    QCOMPARE(child<QLabel>("error")->text(), FeedbackSender::noAnswerText);

    // The red line goes as soon as the next attempt starts.
    answer({200, "application/json", {}, {}, true});
    send->click();
    QVERIFY(view_->sending());
    QVERIFY(!view_->error());
    QVERIFY(!visible("error"));
    QVERIFY(waitUntil([&] { return server_->requests().size() == 3; }));
}

void FeedbackTests::successShowsTheThankYouPage() {
    makeView();
    QVERIFY(visible("send"));
    QVERIFY(!visible("thanks"));
    child<QPlainTextEdit>("message")->setPlainText(QStringLiteral("Tutto bene"));
    child<QPushButton>("send")->click();
    QVERIFY(waitUntil([&] { return view_->sent(); }));
    QVERIFY(!view_->sending());
    QVERIFY(!view_->error());
    QVERIFY(visible("thanks"));
    QVERIFY(!visible("send"));
    QVERIFY(!visible("message"));
    QStringList texts;
    for (const QLabel* label : child<QWidget>("thanks")->findChildren<QLabel*>()) {
        if (!label->text().isEmpty()) {
            texts << label->text();
        }
    }
    QCOMPARE(texts, (QStringList{QStringLiteral("Grazie, il feedback è arrivato."),
                                 QStringLiteral("Lo leggo e ti scrivo se hai lasciato l'email.")}));
    QCOMPARE(closes_, 0);
    child<QPushButton>("done")->click();
    QCOMPARE(closes_, 1);
}

void FeedbackTests::keys() {
    makeView();
    auto* name = child<QLineEdit>("name");
    // Return with too short a message does nothing; Escape closes.
    QTest::keyClick(name, Qt::Key_Return);
    spin(100ms);
    QVERIFY(server_->requests().isEmpty());
    QTest::keyClick(name, Qt::Key_Escape);
    QCOMPARE(closes_, 1);
    QTest::keyClick(child<QPlainTextEdit>("message"), Qt::Key_Escape);
    QCOMPARE(closes_, 2);

    // Return inside the message is a line break; from a field it sends.
    auto* message = child<QPlainTextEdit>("message");
    message->setFocus();
    QTest::keyClicks(message, QStringLiteral("ab"));
    QTest::keyClick(message, Qt::Key_Return);
    QCOMPARE(message->toPlainText(), QStringLiteral("ab\n"));
    QVERIFY(!view_->sending());
    QTest::keyClick(name, Qt::Key_Return);
    QVERIFY(view_->sending());
    QVERIFY(waitUntil([&] { return view_->sent(); }));
    QCOMPARE(server_->requests().size(), 1);

    // On the thank-you page Return closes.
    QTest::keyClick(child<QPushButton>("done"), Qt::Key_Return);
    QCOMPARE(closes_, 3);
}

void FeedbackTests::modelOpensOneWindow() {
    RecorderModel::Options options;
    options.clock = std::make_unique<ManualClock>();
    options.services = std::make_unique<NoServices>();
    RecorderModel model(std::move(options));
    PanelViews panels(model);
    model.setViews(&panels);

    QVERIFY(panels.feedbackWindow() == nullptr);
    model.openFeedback();
    QWidget* window = panels.feedbackWindow();
    QVERIFY(window != nullptr);
    QVERIFY(window->isVisible());
    QCOMPARE(window->windowTitle(), QStringLiteral("Feedback su Quillora"));
    QVERIFY(window->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    auto* form = window->findChild<FeedbackView*>();
    QVERIFY(form != nullptr);
    QCOMPARE(form->width(), FeedbackView::formWidth);

    // An open window is reused with what was typed; the title bar's close only hides it.
    form->findChild<QPlainTextEdit*>(QStringLiteral("message"))->setPlainText(QStringLiteral("bozza"));
    window->close();
    model.openFeedback();
    QCOMPARE(panels.feedbackWindow(), window);
    QVERIFY(window->isVisible());
    QCOMPARE(form->findChild<QPlainTextEdit*>(QStringLiteral("message"))->toPlainText(),
             QStringLiteral("bozza"));

    // "Annulla" drops it; the next one starts empty.
    form->findChild<QPushButton*>(QStringLiteral("cancel"))->click();
    QVERIFY(panels.feedbackWindow() == nullptr);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    model.openFeedback();
    QVERIFY(panels.feedbackWindow() != nullptr);
    QCOMPARE(panels.feedbackWindow()->findChild<QPlainTextEdit*>(QStringLiteral("message"))->toPlainText(),
             QString());
    model.setViews(nullptr);
}

int main(int argc, char** argv) {
    QTemporaryDir home;
    if (!home.isValid()) {
        return 1;
    }
    qputenv("XDG_STATE_HOME", (home.path() + QStringLiteral("/state")).toUtf8());
    qputenv("XDG_CONFIG_HOME", (home.path() + QStringLiteral("/config")).toUtf8());
    qputenv("XDG_DATA_HOME", (home.path() + QStringLiteral("/data")).toUtf8());
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Tandrevel"));
    QApplication::setApplicationName(QStringLiteral("Quillora"));
    FeedbackTests tests;
    const int result = QTest::qExec(&tests, argc, argv);
    Diagnostics::flush();
    return result;
}

#include "FeedbackTests.moc"
