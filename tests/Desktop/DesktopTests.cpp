// The desktop face, offscreen, on a real model: panels, notices, the status menu, the updater's boxes,
// starting at login, and the feedback form.
#include "Quillora/Desktop/Feedback.h"
#include "Quillora/Desktop/FloatingPanel.h"
#include "Quillora/Desktop/LoginStart.h"
#include "Quillora/Desktop/OverlayViews.h"
#include "Quillora/Desktop/QuilloraApp.h"
#include "Quillora/Desktop/UpdateDialogBoxes.h"
#include "Quillora/Services/AppInfo.h"
#include "Quillora/Services/FeedbackSender.h"
#include "Quillora/Services/UpdateManager.h"
#include "Services/AppTestSupport.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QToolButton>

namespace {
using State = QuilloraApp::LabelState;

// The menu as read: "-" separators, "[x] "/"[ ] " toggles, "(label) " disabled rows; "&&" shows as "&".
QStringList rowsOf(const QMenu& menu) {
    QStringList rows;
    for (const QAction* action : menu.actions()) {
        const QString text = action->text().replace("&&", "\x01").remove('&').replace("\x01", "&");
        rows.append(action->isSeparator()   ? QStringLiteral("-")
                    : action->isCheckable() ? (action->isChecked() ? "[x] " : "[ ] ") + text
                    : !action->isEnabled()  ? "(label) " + text
                                            : text);
    }
    return rows;
}

void choose(QMenu& menu, const QString& text) {
    for (QAction* action : menu.actions()) {
        if (action->text() == text) {
            return action->trigger();
        }
    }
    ADD_FAILURE() << "no row " << text.toStdString() << " in " << rowsOf(menu).join(" | ").toStdString();
}

class Desktop : public testing::Test, public ModelHarness {
protected:
    Desktop() { model->setViews(panels.get()); }
    ~Desktop() override {
        model->stop();
        model->setViews(nullptr);
    }
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    std::unique_ptr<PanelViews> panels = std::make_unique<PanelViews>(*model);
};

TEST(Placement, PanelsGoTopRightStayOnScreenAndKeepClearOfEachOther) {
    const QRect screen(0, 32, 1920, 1048); // a top bar of 32 pixels
    EXPECT_EQ(FloatingPanel::topRightOrigin(QRect(1920, 0, 1280, 1024), QSize(390, 150)), QPoint(2794, 16));
    EXPECT_EQ(FloatingPanel::keptOnScreen(screen, {100, 200, 400, 100}), QPoint(100, 200));
    EXPECT_EQ(FloatingPanel::keptOnScreen(screen, {-50, 0, 400, 100}), QPoint(8, 40));
    EXPECT_EQ(FloatingPanel::keptOnScreen(screen, {300, 300, 2000, 1200}), QPoint(-88, 40)); // right, top in
    // Above the other panel without room below; top right without room either side; exactly enough below.
    EXPECT_EQ(FloatingPanel::clearOfOrigin(screen, {390, 116}, {600, 900, 400, 63}), QPoint(610, 768));
    EXPECT_EQ(FloatingPanel::clearOfOrigin(screen, {390, 500}, {600, 400, 400, 300}), QPoint(1514, 48));
    EXPECT_EQ(FloatingPanel::clearOfOrigin(screen, {390, 100}, {600, 906, 400, 50}), QPoint(610, 972));
}

TEST_F(Desktop, APanelRemembersWhereItWasPutAndStaysOnScreen) {
    auto panel = std::make_unique<FloatingPanel>(new QLabel("x"), "TestPanel");
    EXPECT_EQ(panel->pos(), FloatingPanel::topRightOrigin(screen, panel->size()));
    panel->showPanel();
    QCoreApplication::processEvents();
    EXPECT_FALSE(QSettings().contains(FloatingPanel::settingsKey("TestPanel"))) << "the start is no choice";
    panel->move(screen.topLeft() + QPoint(120, 140));
    panel = std::make_unique<FloatingPanel>(new QLabel("x"), "TestPanel");
    EXPECT_EQ(panel->pos(), screen.topLeft() + QPoint(120, 140));

    panel->move(screen.left() + 100, screen.bottom() - 60); // grown past the bottom: moved back up
    panel->showPanel();
    panel->content()->setFixedHeight(200);
    EXPECT_TRUE(waitUntil([&] { return panel->frameGeometry().bottom() <= screen.bottom() - 8; }));
    EXPECT_EQ(panel->pos().x(), screen.left() + 100);
}

// A notice goes top right, below the recording panel unless put elsewhere; the panel shows and drives the
// model.
TEST_F(Desktop, RecordingPanelAndNotices) {
    int primary = 0, secondary = 0;
    const Notice notice{"phone.fill", "red",     "Chiamata",         "Vuoi registrarla?",
                        "Registra",   "Non ora", [&] { ++primary; }, [&] { ++secondary; }};
    panels->showNotice(notice);
    EXPECT_EQ(panels->noticePanel()->pos(),
              FloatingPanel::topRightOrigin(screen, panels->noticePanel()->size()));
    const AudioObjectID zoom = addCallApp("us.zoom.Zoom", 4101);
    clock->advance(3s);
    ASSERT_TRUE(startRecording());
    FloatingPanel* panel = panels->recordingPanel();
    ASSERT_TRUE(panel != nullptr && panel->isVisible());
    const QRect recording = panel->frameGeometry();
    panels->showNotice(notice);
    const QRect beside = panels->noticePanel()->frameGeometry();
    EXPECT_EQ(beside.top(), recording.bottom() + 1 + 16);
    EXPECT_EQ(beside.right(), recording.right());
    const QPoint chosen = screen.topLeft() + QPoint(40, 300);
    panels->noticePanel()->move(chosen);
    panels->showNotice(notice);
    EXPECT_EQ(panels->noticePanel()->pos(), chosen);
    QTest::mouseClick(panels->noticePanel()->findChild<QPushButton*>("primaryButton"), Qt::LeftButton);
    EXPECT_EQ(std::pair(primary, secondary), std::pair(1, 0));
    QTest::mouseClick(panels->noticePanel()->findChild<QPushButton*>("secondaryButton"), Qt::LeftButton);
    EXPECT_EQ(std::pair(primary, secondary), std::pair(1, 1));

    EXPECT_EQ(panel->findChild<QLabel*>("microphoneLabel")->text(), "Cuffie R&D USB");
    clock->advance(1100ms);
    EXPECT_EQ(panel->findChild<QLabel*>("elapsedLabel")->text(), "00:01");
    ASSERT_TRUE(waitUntil([&] {
        clock->advance(100ms);
        return model->micLevel() > 0;
    }));
    EXPECT_EQ(panel->findChild<LevelBar*>("voiceBar")->level(), model->micLevel());

    auto* endedRow = panel->findChild<QWidget*>("endedRow");
    EXPECT_TRUE(endedRow->isHidden());
    sim->removeProcess(zoom);
    clock->advance(8s);
    EXPECT_FALSE(endedRow->isHidden());
    QTest::mouseClick(panel->findChild<QPushButton*>("continueButton"), Qt::LeftButton);
    EXPECT_FALSE(model->callEndedSuggestion() || !endedRow->isHidden());
    QTest::mouseClick(panel->findChild<QToolButton*>("feedbackButton"), Qt::LeftButton);
    EXPECT_NE(panels->feedbackWindow(), nullptr);
    QTest::mouseClick(panel->findChild<QPushButton*>("stopButton"), Qt::LeftButton);
    EXPECT_FALSE(model->isRecording() || panel->isVisible());
}

// The status menu idle, recording, saved, without a permitted microphone, at quit and with an update waiting.
TEST_F(Desktop, MenuInEachStateAndWhatItsRowsDo) {
    UpdateManager updates(UpdateManager::Options{1h, {}});
    auto face = std::make_unique<QuilloraApp>(*model, updates, panels.get());
    const auto expectMenu = [&](const QStringList& head, State state, const QString& tip) {
        face->rebuildMenu();
        EXPECT_EQ(rowsOf(face->menu()).mid(0, head.size()), head);
        EXPECT_EQ(face->labelState(), state);
        EXPECT_EQ(face->trayIcon().toolTip(), tip);
    };
    expectMenu({"Avvia registrazione", "-", "Apri cartella registrazioni", "-", "Invia un feedback\u2026",
                "[x] Mostra il pannello durante la registrazione",
                "[x] Proponi di registrare quando inizia una chiamata", "[ ] Avvia all'accesso"},
               State::idle, "Quillora");
    choose(face->menu(), "Proponi di registrare quando inizia una chiamata");
    choose(face->menu(), "Apri cartella registrazioni");
    choose(face->menu(), "Invia un feedback\u2026");
    EXPECT_FALSE(model->proposeOnCall());
    EXPECT_TRUE(waitUntil([&] {
        return rowsOf(face->menu()).contains("[ ] Proponi di registrare quando inizia una chiamata");
    }));
    EXPECT_EQ(services->opened, std::vector{QUrl::fromLocalFile(folder.path())});
    EXPECT_NE(panels->feedbackWindow(), nullptr);

    choose(face->menu(), "Avvia registrazione");
    ASSERT_TRUE(waitUntil([this] { return model->isRecording(); }));
    clock->advance(65s);
    expectMenu({"Ferma registrazione", "(label) In registrazione \u00B7 01:05",
                "(label) Microfono: Cuffie R&D USB", "-", "Apri cartella registrazioni", "-"},
               State::recording, "In registrazione \u00B7 01:05");
    choose(face->menu(), "Mostra il pannello durante la registrazione");
    EXPECT_FALSE(model->showOverlay() || panels->recordingPanel()->isVisible());
    choose(face->menu(), "Ferma registrazione");
    expectMenu({"Avvia registrazione", "(label) " + model->message(), "-", "Apri cartella registrazioni",
                "Mostra l'ultima registrazione", "-"},
               State::idle, "Quillora");
    choose(face->menu(), "Mostra l'ultima registrazione");
    EXPECT_EQ(services->revealed.size(), 1u);

    sim->setAuthorizationStatus(AVAuthorizationStatusDenied);
    ASSERT_TRUE(startRecording());
    expectMenu({"Ferma registrazione", "(label) In registrazione \u00B7 00:00", "(label) Microfono: nessuno",
                "(label) Microfono non autorizzato: registro solo l'audio della chiamata.",
                "Apri le impostazioni del microfono\u2026", "-"},
               State::recording, "In registrazione \u00B7 00:00");
    choose(face->menu(), "Apri le impostazioni del microfono\u2026");
    EXPECT_EQ(services->soundSettings, 1);
    bool recordingAtQuit = true; // "Esci" saves the recording before the program goes
    face->quit = [&] { recordingAtQuit = model->isRecording(); };
    choose(face->menu(), "Esci da Quillora");
    EXPECT_FALSE(recordingAtQuit);
    EXPECT_GT(QFileInfo(model->lastFile()).size(), 0);

    LocalHttpServer server; // an update waiting: its row first, the icon says so when not recording
    server.setReply("/appcast.xml", {200, appcastFeed("210", "2.1")});
    const InfoIni info(
        {"CFBundleShortVersionString=1.4", "CFBundleVersion=140", "SUFeedURL=" + server.url("/appcast.xml")});
    UpdateManager found(UpdateManager::Options{1ms, {}});
    face = std::make_unique<QuilloraApp>(*model, found, panels.get());
    ASSERT_TRUE(waitUntil([&] { return found.availableVersion() == "2.1"; }));
    expectMenu({"Installa l'aggiornamento a Quillora 2.1\u2026", "-", "Avvia registrazione"},
               State::updateAvailable, "Quillora \u00B7 Aggiornamento disponibile");
    ASSERT_TRUE(startRecording());
    EXPECT_EQ(face->labelState(), State::recording);
    model->stop();
    EXPECT_EQ(face->labelState(), State::updateAvailable);
    face.reset(); // before the manager it shows
}

// Each answer of the updater's message boxes reaches it exactly once, also when a box is replaced or gone.
TEST(UpdateDialogBoxes, EachAnswerArrivesOnce) {
    using Choice = UpdateDialogs::Choice;
    AppcastItem release;
    QList<Choice> answers;
    const auto answer = [&](Choice choice) { answers.append(choice); };
    int upToDate = 0, failed = 0;
    {
        UpdateDialogBoxes boxes;
        for (const QString button : {"Aggiorna ora", "Più tardi", "Escape"}) {
            boxes.showUpdateFound(release, answer);
            for (QAbstractButton* candidate : boxes.currentBox()->buttons()) {
                if (candidate->text().remove('&') == button) {
                    QTest::mouseClick(candidate, Qt::LeftButton);
                }
            }
            if (button == "Escape") {
                QTest::keyClick(boxes.currentBox(), Qt::Key_Escape);
            }
            runEventsFor(30ms);
            EXPECT_EQ(boxes.currentBox(), nullptr);
        }
        EXPECT_EQ(answers, (QList<Choice>{Choice::install, Choice::later, Choice::later}));
        boxes.showUpToDate("2.1", [&] { ++upToDate; });
        boxes.showCheckFailed("feed non raggiungibile", [&] { ++failed; });
        EXPECT_EQ(upToDate, 1); // replaced: answered
        EXPECT_TRUE(boxes.currentBox()->informativeText().contains("feed non raggiungibile"));
        QTest::keyClick(boxes.currentBox(), Qt::Key_Return);
        EXPECT_EQ(failed, 1);
        boxes.showUpdateFound(release, answer);
    }
    runEventsFor(30ms);
    EXPECT_EQ(answers.size(), 4); // gone with the box up: "later", once
    EXPECT_EQ(answers.last(), Choice::later);
    EXPECT_EQ(std::pair(upToDate, failed), std::pair(1, 1));
}

// Once turned off, from the menu or a settings tool, login start stays off (first run: desktop session).
TEST(LoginStart, OffStaysOff) {
    QSettings().remove(QStringLiteral("loginStartApplied"));
    LoginStart::applyAtStart();                 // the first run
    ASSERT_TRUE(LoginStart::setEnabled(false)); // "Avvia all'accesso" unticked
    LoginStart::applyAtStart();
    EXPECT_FALSE(LoginStart::isEnabled() || QFile::exists(LoginStart::entryPath()));

    // Turned off by a settings tool that keeps the file: off, and left as the tool wrote it.
    for (const QByteArray off : {"Hidden=true", "X-GNOME-Autostart-enabled=false"}) {
        ASSERT_TRUE(LoginStart::setEnabled(true));
        writeFile(LoginStart::entryPath(), readFile(LoginStart::entryPath()) + off + "\n");
        LoginStart::applyAtStart();
        EXPECT_FALSE(LoginStart::isEnabled()) << off.toStdString();
        EXPECT_TRUE(readFile(LoginStart::entryPath()).contains(off)) << off.toStdString();
    }
}

class FeedbackForm : public testing::Test {
protected:
    FeedbackForm() { QSettings().clear(); }
    void open(std::optional<QString> microphone = std::nullopt) {
        view = std::make_unique<FeedbackView>(std::move(microphone), [this] { ++closes; });
        view->show();
    }
    template <typename T = QWidget>
    T* child(const char* name) {
        return view->findChild<T*>(name);
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

// Sendable messages, one send at a time; a failure keeps the form; a success sends what was typed, with the
// report unless left out, and the next form remembers who sent it.
TEST_F(FeedbackForm, SendsWhatWasTypedOnceAndKeepsTheFormOnFailure) {
    for (const auto& [message, sendable] : {std::pair{"a", false}, std::pair{"  \n\t \n ", false},
                                            std::pair{" \n e\u0301 \n", false}, std::pair{" ok ", true}}) {
        EXPECT_EQ(FeedbackView::isSendable(QString::fromUtf8(message)), sendable) << message;
    }
    server.setReply("/svc/api/feedback", {200, R"({"ok":false,"error":"Messaggio troppo lungo."})"});
    open(QStringLiteral("Microfono USB"));
    type("x");
    EXPECT_FALSE(child<QPushButton>("send")->isEnabled());
    QTest::keyClick(child<QLineEdit>("name"), Qt::Key_Return); // too short: nothing goes
    view->submit();
    type("Prova");
    QTest::keyClick(child<QPlainTextEdit>("message"), Qt::Key_Return); // a line break, not a send
    EXPECT_TRUE(server.requests.isEmpty());
    child<QPushButton>("send")->click();
    ASSERT_TRUE(waitUntil([&] { return !view->sending(); }));
    EXPECT_EQ(child<QLabel>("error")->text(), "Messaggio troppo lungo.");
    EXPECT_TRUE(child("error")->isVisibleTo(view.get()));
    EXPECT_EQ(child<QPlainTextEdit>("message")->toPlainText().trimmed(), "Prova");

    server.setReply("/svc/api/feedback", {200, "", "", true}); // never answers
    child<QPushButton>("send")->click();
    EXPECT_FALSE(child("error")->isVisibleTo(view.get())) << "the error stays during the next attempt";
    child<QPushButton>("send")->click();
    QTest::keyClick(child<QLineEdit>("name"), Qt::Key_Return);
    runEventsFor(200ms);
    EXPECT_EQ(server.requests.size(), 2);
    QTest::keyClick(child<QLineEdit>("name"), Qt::Key_Escape);
    EXPECT_EQ(closes, 1);

    server.setReply("/svc/api/feedback", {200, R"({"ok":true})"});
    open(QStringLiteral("Microfono USB"));
    QTest::keyClicks(child<QLineEdit>("name"), "Ada");
    QTest::keyClicks(child<QLineEdit>("email"), "ada@example.org");
    type("  ok \n");
    QTest::keyClick(child<QLineEdit>("name"), Qt::Key_Return);
    ASSERT_TRUE(waitUntil([&] { return view->sent(); }));
    EXPECT_EQ(sent("message"), "  ok \n"); // as typed
    EXPECT_EQ(sent("name"), "Ada");
    EXPECT_EQ(sent("diagnostics").toString(), view->diagnostics()); // attached by default
    EXPECT_TRUE(view->diagnostics().contains("Microfono USB"));
    EXPECT_TRUE(child("thanks")->isVisibleTo(view.get()));
    QTest::keyClick(child<QPushButton>("done"), Qt::Key_Return);
    EXPECT_EQ(closes, 2);

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

TEST_F(Desktop, TheModelOpensOneFeedbackWindowAndKeepsTheDraft) {
    const auto message = [&] { return panels->feedbackWindow()->findChild<QPlainTextEdit*>("message"); };
    model->openFeedback();
    QWidget* window = panels->feedbackWindow();
    ASSERT_TRUE(window != nullptr && window->isVisible());
    message()->setPlainText("bozza");
    window->close(); // the title bar's close only hides it
    model->openFeedback();
    ASSERT_EQ(panels->feedbackWindow(), window);
    EXPECT_EQ(message()->toPlainText(), "bozza");
    window->findChild<QPushButton*>("cancel")->click();
    EXPECT_EQ(panels->feedbackWindow(), nullptr);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    model->openFeedback();
    EXPECT_EQ(message()->toPlainText(), "");
}

} // namespace
