// The desktop face on the offscreen platform: panel windows and their placement, the filled button, the
// level bars, the recording panel and the notices against a real model on the simulated audio system,
// and the status icon's menu, icon and tooltip in each state.
#include "AppTestSupport.h"
#include "ManualClock.h"
#include "Platform/Audio/Simulated/SimulatedAudioHardware.h"
#include "Quillora/Desktop/FloatingPanel.h"
#include "Quillora/Desktop/OverlayViews.h"
#include "Quillora/Desktop/QuilloraApp.h"
#include "Quillora/Model/RecorderModel.h"
#include "Quillora/Services/AppInfo.h"
#include "Quillora/Services/UpdateManager.h"
#include "QuilloraCore/Diagnostics.h"

#include <QApplication>
#include <QFileInfo>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>

using namespace std::chrono_literals;
using Signal = SimulatedAudioHardware::Signal;

namespace {

class FakeServices final : public PlatformServices {
public:
    void openLocation(const QUrl& location) override { opened.push_back(location); }
    void revealFile(const std::filesystem::path& file) override { revealed.push_back(file); }
    void openSoundSettings() override { ++soundSettings; }
    void playAlertSound() override {}
    std::optional<QString> applicationName(const std::string&) override { return std::nullopt; }

    std::vector<QUrl> opened;
    std::vector<std::filesystem::path> revealed;
    int soundSettings = 0;
};

// The real panels, with the feedback requests counted.
class CountingViews final : public RecorderViews {
public:
    explicit CountingViews(RecorderModel& model) : panels(model) {}
    void showRecordingPanel() override { panels.showRecordingPanel(); }
    void hideRecordingPanel() override { panels.hideRecordingPanel(); }
    void showNotice(const Notice& notice) override { panels.showNotice(notice); }
    void closeNotice() override { panels.closeNotice(); }
    void showDemoNotice(const Notice& notice) override { panels.showDemoNotice(notice); }
    void openFeedback(const std::optional<QString>& microphone) override { feedback.push_back(microphone); }
    void activateApplication() override { ++activations; }

    PanelViews panels;
    std::vector<std::optional<QString>> feedback;
    int activations = 0;
};

QByteArray feedWith(const QByteArray& shortVersion) {
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
           "<rss version=\"2.0\" xmlns:sparkle=\"http://www.andymatuschak.org/xml-namespaces/sparkle\">"
           "<channel><item><title>Quillora</title><sparkle:version>210</sparkle:version>"
           "<sparkle:shortVersionString>" +
           shortVersion +
           "</sparkle:shortVersionString>"
           "<enclosure url=\"https://example.org/Quillora.AppImage\" length=\"1\" "
           "type=\"application/octet-stream\"/></item></channel></rss>";
}

// The menu as the user reads it: one entry per row, "-" for a separator, "[x] " / "[ ] " before a toggle,
// "(label) " before a row that cannot be chosen. Texts as displayed: a lone "&" marks a mnemonic and is
// not shown, "&&" shows one "&".
QStringList rowsOf(const QMenu& menu) {
    QStringList rows;
    for (const QAction* action : menu.actions()) {
        const QString text = action->text()
                                 .replace(QStringLiteral("&&"), QStringLiteral("\x01"))
                                 .remove(QLatin1Char('&'))
                                 .replace(QStringLiteral("\x01"), QStringLiteral("&"));
        if (action->isSeparator()) {
            rows.append(QStringLiteral("-"));
        } else if (action->isCheckable()) {
            rows.append((action->isChecked() ? QStringLiteral("[x] ") : QStringLiteral("[ ] ")) + text);
        } else if (!action->isEnabled()) {
            rows.append(QStringLiteral("(label) ") + text);
        } else {
            rows.append(text);
        }
    }
    return rows;
}

QAction* rowNamed(const QMenu& menu, const QString& text) {
    for (QAction* action : menu.actions()) {
        if (action->text() == text) {
            return action;
        }
    }
    return nullptr;
}

QColor pixelAt(QWidget& widget, QPoint point) {
    QImage image(widget.size(), QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    widget.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
    return image.pixelColor(point);
}

} // namespace

class UiTests : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void placementRules();
    void panelWindowAndRememberedPosition();
    void noticeKeepsClearOfTheRecordingPanel();
    void demonstrationSpreadsItsWindows();
    void filledButtonDimsWhilePressed();
    void levelBarLabelAndAnimation();
    void noticeButtonsOrderAndActions();
    void recordingPanelFollowsTheModelAndCallsIt();
    void menuWhenIdle();
    void menuWhileRecordingAndAfter();
    void menuWithTheMicrophoneRefused();
    void menuAndIconWithAnUpdate();
    void quitStopsTheRecordingFirst();

private:
    void makeModel(UpdateManager* updates = nullptr);
    void startRecording();

    QTemporaryDir folder_;
    SimulatedAudioHardware* sim_ = nullptr;
    ManualClock* clock_ = nullptr;
    FakeServices* services_ = nullptr;
    std::unique_ptr<RecorderModel> model_;
    std::unique_ptr<CountingViews> views_;
};

void UiTests::init() {
    QSettings().clear();
    auto hardware = std::make_unique<SimulatedAudioHardware>();
    sim_ = hardware.get();
    AudioHardware::setShared(std::move(hardware));
    sim_->setClockMode(SimulatedAudioHardware::ClockMode::realTime);
    SimulatedAudioHardware::DeviceConfig speakers;
    speakers.name = "Altoparlanti";
    speakers.uid = "speakers";
    speakers.outputStreams = {2};
    speakers.output = Signal::tone(440, 0.3f);
    sim_->addDevice(std::move(speakers));
    SimulatedAudioHardware::DeviceConfig mic;
    mic.name = "Cuffie R&D USB"; // "&" is not a menu mnemonic here
    mic.uid = "usb-mic";
    mic.inputStreams = {1};
    mic.input = Signal::tone(220, 0.2f);
    sim_->addDevice(std::move(mic));
}

void UiTests::cleanup() {
    if (model_) {
        model_->stop();
        model_->setViews(nullptr);
    }
    views_.reset();
    model_.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    AudioHardware::setShared(nullptr);
}

void UiTests::makeModel(UpdateManager* updates) {
    auto manual = std::make_unique<ManualClock>();
    clock_ = manual.get();
    auto fake = std::make_unique<FakeServices>();
    services_ = fake.get();
    RecorderModel::Options options;
    options.clock = std::move(manual);
    options.services = std::move(fake);
    options.recordingsDirectory = [this] { return std::filesystem::path(folder_.path().toStdString()); };
    options.updates = updates;
    model_ = std::make_unique<RecorderModel>(std::move(options));
    views_ = std::make_unique<CountingViews>(*model_);
    model_->setViews(views_.get());
}

void UiTests::startRecording() {
    model_->start();
    QVERIFY(waitUntil([this] { return !model_->isAwaitingPermission(); }));
    QVERIFY2(model_->isRecording(), qPrintable(model_->message()));
}

void UiTests::placementRules() {
    const QRect screen(0, 32, 1920, 1048); // a top bar of 32 pixels
    QCOMPARE(FloatingPanel::topRightOrigin(screen, QSize(400, 100)), QPoint(1920 - 400 - 16, 32 + 16));
    const QRect second(1920, 0, 1280, 1024);
    QCOMPARE(FloatingPanel::topRightOrigin(second, QSize(390, 150)), QPoint(1920 + 1280 - 390 - 16, 16));

    // Inside the margins: untouched; partly off any edge: back with 8 pixels to spare.
    QCOMPARE(FloatingPanel::keptOnScreen(screen, QRect(100, 200, 400, 100)), QPoint(100, 200));
    QCOMPARE(FloatingPanel::keptOnScreen(screen, QRect(1700, 1000, 400, 100)),
             QPoint(1920 - 400 - 8, 1080 - 100 - 8));
    QCOMPARE(FloatingPanel::keptOnScreen(screen, QRect(-50, 0, 400, 100)), QPoint(8, 32 + 8));
    QCOMPARE(FloatingPanel::keptOnScreen(screen, QRect(8, 40, 400, 100)), QPoint(8, 40));
    // Larger than the screen: the right and top edges stay inside, the rest spills left and down.
    QCOMPARE(FloatingPanel::keptOnScreen(screen, QRect(300, 300, 2000, 1200)),
             QPoint(1920 - 2000 - 8, 32 + 8));

    // Clear of another panel: right edges aligned, 16 below it; above it when there is no room below;
    // the top-right spot when there is room on neither side.
    const QRect recording(1504, 48, 400, 63);
    QCOMPARE(FloatingPanel::clearOfOrigin(screen, QSize(390, 116), recording), QPoint(1904 - 390, 111 + 16));
    const QRect low(600, 900, 400, 63);
    QCOMPARE(FloatingPanel::clearOfOrigin(screen, QSize(390, 116), low), QPoint(1000 - 390, 900 - 16 - 116));
    QCOMPARE(FloatingPanel::clearOfOrigin(screen, QSize(390, 500), QRect(600, 400, 400, 300)),
             FloatingPanel::topRightOrigin(screen, QSize(390, 500)));
    // Exactly enough room below (8 to spare at the bottom) still counts.
    QCOMPARE(
        FloatingPanel::clearOfOrigin(screen, QSize(390, 100), QRect(600, 1080 - 8 - 100 - 16 - 50, 400, 50)),
        QPoint(610, 1080 - 8 - 100));
}

void UiTests::panelWindowAndRememberedPosition() {
    auto content = std::make_unique<QWidget>();
    content->setFixedSize(300, 80);
    auto panel = std::make_unique<FloatingPanel>(content.release(), QStringLiteral("TestPanel"));
    const Qt::WindowFlags flags = panel->windowFlags();
    QCOMPARE(flags & Qt::WindowType_Mask, Qt::Tool);
    QVERIFY(flags.testFlag(Qt::FramelessWindowHint));
    QVERIFY(flags.testFlag(Qt::WindowStaysOnTopHint));
    QVERIFY(flags.testFlag(Qt::WindowDoesNotAcceptFocus));
    QVERIFY(panel->testAttribute(Qt::WA_TranslucentBackground));
    QVERIFY(panel->testAttribute(Qt::WA_ShowWithoutActivating));
    QCOMPARE(panel->size(), QSize(300, 80));

    const QRect available = QGuiApplication::primaryScreen()->availableGeometry();
    QCOMPARE(panel->pos(), FloatingPanel::topRightOrigin(available, QSize(300, 80)));
    QVERIFY(!panel->hasRememberedPosition());
    panel->showPanel();
    QVERIFY(panel->isVisible());
    QVERIFY(!panel->isActiveWindow());
    // Sitting where it started is not a place to remember.
    QCoreApplication::processEvents();
    QVERIFY(!QSettings().contains(FloatingPanel::settingsKey(QStringLiteral("TestPanel"))));

    // Dragged somewhere else: remembered and used by the next panel of that name.
    panel->move(available.topLeft() + QPoint(120, 140));
    QCOMPARE(QSettings().value(FloatingPanel::settingsKey(QStringLiteral("TestPanel"))).toRect().topLeft(),
             available.topLeft() + QPoint(120, 140));
    panel.reset();
    FloatingPanel again(new QLabel(QStringLiteral("x")), QStringLiteral("TestPanel"));
    QVERIFY(again.hasRememberedPosition());
    QCOMPARE(again.pos(), available.topLeft() + QPoint(120, 140));

    // Growing past the bottom of the screen moves it back up once the resize is handled.
    again.move(available.left() + 100, available.bottom() - 60);
    again.showPanel();
    auto* label = qobject_cast<QLabel*>(again.content());
    QVERIFY(label != nullptr);
    label->setFixedHeight(200);
    QVERIFY(waitUntil([&] { return again.frameGeometry().bottom() <= available.bottom() - 8; }));
    QCOMPARE(again.pos().x(), available.left() + 100);
}

void UiTests::noticeKeepsClearOfTheRecordingPanel() {
    makeModel();
    const Notice notice{QStringLiteral("arrow.down.circle.fill"),
                        QStringLiteral("blue"),
                        QStringLiteral("Aggiornamento disponibile"),
                        QStringLiteral("Un messaggio."),
                        QStringLiteral("Aggiorna ora"),
                        QStringLiteral("Più tardi"),
                        {},
                        {}};
    const QRect available = QGuiApplication::primaryScreen()->availableGeometry();
    const QString noticeKey = FloatingPanel::settingsKey(QStringLiteral("QuilloraNotice"));

    // No recording panel on screen: the notice takes the top-right spot.
    views_->panels.showNotice(notice);
    FloatingPanel* alone = views_->panels.noticePanel();
    QCOMPARE(alone->pos(), FloatingPanel::topRightOrigin(available, alone->size()));
    QCOMPARE(alone->windowTitle(), QStringLiteral("Aggiornamento disponibile"));

    // With the recording panel up, a new notice goes below it instead of covering it, and that starting
    // place is not remembered.
    startRecording();
    const FloatingPanel* recording = views_->panels.recordingPanel();
    QVERIFY(recording->isVisible());
    views_->panels.showNotice(notice);
    FloatingPanel* beside = views_->panels.noticePanel();
    QVERIFY(beside->isVisible());
    QVERIFY(!beside->frameGeometry().intersects(recording->frameGeometry()));
    QCOMPARE(beside->frameGeometry().top(), recording->frameGeometry().bottom() + 1 + 16);
    QCOMPARE(beside->frameGeometry().right(), recording->frameGeometry().right());
    QCoreApplication::processEvents();
    QVERIFY(!QSettings().contains(noticeKey));

    // A notice the user moved comes back where it was put, panel or no panel.
    const QPoint chosen = available.topLeft() + QPoint(40, 300);
    beside->move(chosen);
    QCOMPARE(QSettings().value(noticeKey).toRect().topLeft(), chosen);
    views_->panels.showNotice(notice);
    QCOMPARE(views_->panels.noticePanel()->pos(), chosen);
}

void UiTests::demonstrationSpreadsItsWindows() {
    QCOMPARE(PanelViews::demoNoticeOrigin(QRect(0, 0, 1280, 800), QSize(390, 116)),
             QPoint(80, 800 - 120 - 116));
    QCOMPARE(PanelViews::demoNoticeOrigin(QRect(1920, 0, 1280, 1024), QSize(390, 116)),
             QPoint(2000, 1024 - 120 - 116));

    makeModel();
    model_->showDemo();
    clock_->advance(RecorderModel::demoNoticeDelay);
    const FloatingPanel* recording = views_->panels.recordingPanel();
    const FloatingPanel* call = views_->panels.noticePanel();
    QVERIFY(recording != nullptr && call != nullptr);
    QCOMPARE(views_->panels.demoPanelCount(), 1u);
    const FloatingPanel* update = views_->panels.demoPanel(0);
    QVERIFY(recording->isVisible() && call->isVisible() && update->isVisible());
    QCOMPARE(call->windowTitle(), QStringLiteral("Chiamata in corso su WhatsApp"));
    QCOMPARE(recording->windowTitle(), QStringLiteral("In registrazione"));
    // Nothing covers anything.
    QVERIFY(!call->frameGeometry().intersects(recording->frameGeometry()));
    QVERIFY(!update->frameGeometry().intersects(recording->frameGeometry()));
    QVERIFY(!update->frameGeometry().intersects(call->frameGeometry()));
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    QCOMPARE(update->pos(), PanelViews::demoNoticeOrigin(screen, update->size()));
}

void UiTests::filledButtonDimsWhilePressed() {
    QPushButton button(QStringLiteral("Registra"));
    FilledButtonStyle::apply(button, QColor(255, 0, 0));
    button.resize(button.sizeHint());
    QVERIFY(button.width() >= button.fontMetrics().horizontalAdvance(QStringLiteral("Registra")) + 28);
    const QPoint inside(4, button.height() / 2);
    const QColor released = pixelAt(button, inside);
    QCOMPARE(released.alpha(), 255);
    QCOMPARE(released.red(), 255);
    button.setDown(true);
    QCOMPARE(pixelAt(button, inside).alpha(), qRound(255 * FilledButtonStyle::pressedOpacity));
    button.setDown(false);
    QCOMPARE(pixelAt(button, inside).alpha(), 255);
    QCOMPARE(button.palette().color(QPalette::ButtonText), QColor(Qt::white));
}

void UiTests::levelBarLabelAndAnimation() {
    QCOMPARE(LevelBar::accessibleLabel(QStringLiteral("Tu"), 0.5f),
             QStringLiteral("Tu: livello 50 per cento"));
    QCOMPARE(LevelBar::accessibleLabel(QStringLiteral("Altri"), 0.999f),
             QStringLiteral("Altri: livello 99 per cento"));
    QCOMPARE(LevelBar::accessibleLabel(QStringLiteral("Tu"), 1.0f),
             QStringLiteral("Tu: livello 100 per cento"));
    QCOMPARE(LevelBar::accessibleLabel(QStringLiteral("Tu"), 0.0f),
             QStringLiteral("Tu: livello 0 per cento"));

    LevelBar bar(QStringLiteral("Tu"), Qt::blue);
    bar.resize(120, 12);
    bar.setLevel(0.5f);
    QCOMPARE(bar.accessibleName(), QStringLiteral("Tu: livello 50 per cento"));
    QVERIFY(bar.displayedLevel() < 0.5f); // on its way
    QVERIFY(waitUntil([&] { return bar.displayedLevel() == 0.5f; }, 1000ms));
    // Half the track is filled: the fill ends in the middle of the track.
    const int trackStart = LevelBar::captionWidth + LevelBar::spacing;
    const int middle = trackStart + (120 - trackStart) / 2;
    QCOMPARE(pixelAt(bar, QPoint(middle - 3, 6)), QColor(Qt::blue));
    QVERIFY(pixelAt(bar, QPoint(middle + 3, 6)) != QColor(Qt::blue));
}

void UiTests::noticeButtonsOrderAndActions() {
    int primary = 0;
    int secondary = 0;
    const Notice notice{QStringLiteral("phone.fill"),
                        QStringLiteral("red"),
                        QStringLiteral("Chiamata in corso su Zoom"),
                        QStringLiteral("Vuoi registrarla?"),
                        QStringLiteral("Registra"),
                        QStringLiteral("Non ora"),
                        [&] { ++primary; },
                        [&] { ++secondary; }};
    FloatingPanel panel(new NoticeView(notice), QStringLiteral("QuilloraNotice"));
    panel.showPanel();
    auto* first = panel.findChild<QPushButton*>(QStringLiteral("secondaryButton"));
    auto* emphasised = panel.findChild<QPushButton*>(QStringLiteral("primaryButton"));
    QVERIFY(first != nullptr && emphasised != nullptr);
    QCOMPARE(first->text(), QStringLiteral("Non ora"));
    QCOMPARE(emphasised->text(), QStringLiteral("Registra"));
    QVERIFY(emphasised->mapTo(&panel, QPoint()).x() > first->mapTo(&panel, QPoint()).x());
    QCOMPARE(qobject_cast<FilledButtonStyle*>(emphasised->style())->color(), QColor(0xFF, 0x3B, 0x30));
    QCOMPARE(panel.width(), NoticeView::contentWidth + 2 * (PanelBackground::padding + 1));
    const int shortHeight = panel.height();

    QTest::mouseClick(emphasised, Qt::LeftButton);
    QCOMPARE(primary, 1);
    QCOMPARE(secondary, 0);
    QTest::mouseClick(first, Qt::LeftButton);
    QCOMPARE(secondary, 1);
    QVERIFY(panel.isVisible()); // the actions close the notice, not the view

    // A long message wraps: the card grows taller, never wider.
    Notice wordy = notice;
    wordy.message = QString(QStringLiteral("Una spiegazione piuttosto lunga. ")).repeated(12);
    FloatingPanel tall(new NoticeView(wordy), QStringLiteral("QuilloraNotice"));
    QCOMPARE(tall.width(), panel.width());
    QVERIFY(tall.height() > shortHeight + 30);
}

void UiTests::recordingPanelFollowsTheModelAndCallsIt() {
    makeModel();
    const AudioObjectID zoom = sim_->addProcess(4101, "us.zoom.Zoom", true);
    clock_->advance(3s);
    startRecording();
    FloatingPanel* panel = views_->panels.recordingPanel();
    QVERIFY(panel != nullptr);
    QVERIFY(panel->isVisible());
    QCOMPARE(panel->autosaveName(), QStringLiteral("QuilloraOverlay"));
    QCOMPARE(panel->width(), RecordingOverlayView::width);

    auto* microphone = panel->findChild<QLabel*>(QStringLiteral("microphoneLabel"));
    auto* microphoneIcon = panel->findChild<QLabel*>(QStringLiteral("microphoneIcon"));
    QCOMPARE(microphone->text(), model_->microphoneName());
    QVERIFY(!model_->microphoneName().isEmpty());
    QCOMPARE(microphoneIcon->property("symbol").toString(), QStringLiteral("mic.fill"));
    QCOMPARE(microphone->toolTip(), QStringLiteral("Microfono in uso"));

    clock_->advance(1100ms);
    auto* elapsed = panel->findChild<QLabel*>(QStringLiteral("elapsedLabel"));
    QCOMPARE(elapsed->text(), model_->elapsedText());
    QCOMPARE(elapsed->text(), QStringLiteral("00:01"));
    auto* voice = panel->findChild<LevelBar*>(QStringLiteral("voiceBar"));
    QVERIFY(waitUntil([&] {
        clock_->advance(100ms);
        return model_->micLevel() > 0;
    }));
    QCOMPARE(voice->level(), model_->micLevel());
    QCOMPARE(voice->accessibleName(), LevelBar::accessibleLabel(QStringLiteral("Tu"), model_->micLevel()));

    // The call goes away: the suggestion row appears; "Continua" takes it away again.
    auto* endedRow = panel->findChild<QWidget*>(QStringLiteral("endedRow"));
    QVERIFY(endedRow->isHidden());
    sim_->removeProcess(zoom);
    clock_->advance(8s);
    QVERIFY(model_->callEndedSuggestion());
    QVERIFY(!endedRow->isHidden());
    QTest::mouseClick(panel->findChild<QPushButton*>(QStringLiteral("continueButton")), Qt::LeftButton);
    QVERIFY(!model_->callEndedSuggestion());
    QVERIFY(endedRow->isHidden());
    clock_->advance(10s); // no call app seen since: no new suggestion
    QVERIFY(!model_->callEndedSuggestion());

    QTest::mouseClick(panel->findChild<QToolButton*>(QStringLiteral("feedbackButton")), Qt::LeftButton);
    QCOMPARE(views_->feedback.size(), 1u);
    QTest::mouseClick(panel->findChild<QPushButton*>(QStringLiteral("stopButton")), Qt::LeftButton);
    QVERIFY(!model_->isRecording());
    QVERIFY(!panel->isVisible());
    QCOMPARE(views_->panels.recordingPanel(), panel); // kept for the next recording
}

void UiTests::menuWhenIdle() {
    makeModel();
    UpdateManager updates(UpdateManager::Options{1h, {}});
    QuilloraApp face(*model_, updates, views_.get());
    const QString version = QStringLiteral("Quillora ") + AppInfo::version();
    QCOMPARE(rowsOf(face.menu()),
             (QStringList{"Avvia registrazione", "-", "Apri cartella registrazioni", "-",
                          "Invia un feedback\u2026", "[x] Mostra il pannello durante la registrazione",
                          "[x] Proponi di registrare quando inizia una chiamata",
                          "Controlla aggiornamenti\u2026", "-", "(label) " + version, "Esci da Quillora"}));
    QCOMPARE(rowNamed(face.menu(), "Avvia registrazione")->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_R));
    QCOMPARE(rowNamed(face.menu(), "Esci da Quillora")->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Q));
    QCOMPARE(face.labelState(), QuilloraApp::LabelState::idle);
    QCOMPARE(face.trayIcon().toolTip(), QStringLiteral("Quillora"));

    // The toggles write the model's preferences, and the menu follows.
    rowNamed(face.menu(), "Mostra il pannello durante la registrazione")->trigger();
    QVERIFY(!model_->showOverlay());
    rowNamed(face.menu(), "Proponi di registrare quando inizia una chiamata")->trigger();
    QVERIFY(!model_->proposeOnCall());
    QVERIFY(waitUntil(
        [&] { return rowsOf(face.menu()).contains("[ ] Mostra il pannello durante la registrazione"); }));
    QVERIFY(rowsOf(face.menu()).contains("[ ] Proponi di registrare quando inizia una chiamata"));

    rowNamed(face.menu(), "Apri cartella registrazioni")->trigger();
    QCOMPARE(services_->opened.size(), 1u);
    rowNamed(face.menu(), "Invia un feedback\u2026")->trigger();
    QCOMPARE(views_->feedback.size(), 1u);
    rowNamed(face.menu(), "Controlla aggiornamenti\u2026")->trigger();
    QCOMPARE(views_->activations, 1);
}

void UiTests::menuWhileRecordingAndAfter() {
    makeModel();
    UpdateManager updates(UpdateManager::Options{1h, {}});
    QuilloraApp face(*model_, updates, views_.get());
    rowNamed(face.menu(), "Avvia registrazione")->trigger();
    QVERIFY(waitUntil([this] { return model_->isRecording(); }));
    QVERIFY(waitUntil([&] { return rowNamed(face.menu(), "Ferma registrazione") != nullptr; }));
    clock_->advance(65s);
    const QString microphone = model_->microphoneName();
    QCOMPARE(microphone, QStringLiteral("Cuffie R&D USB"));
    QCOMPARE(rowsOf(face.menu()).mid(0, 4),
             (QStringList{"Ferma registrazione", "(label) In registrazione \u00B7 01:05",
                          "(label) Microfono: " + microphone, "-"}));
    QCOMPARE(face.labelState(), QuilloraApp::LabelState::recording);
    QCOMPARE(face.trayIcon().toolTip(), QStringLiteral("In registrazione \u00B7 01:05"));

    rowNamed(face.menu(), "Ferma registrazione")->trigger();
    QVERIFY(!model_->isRecording());
    QVERIFY(waitUntil([&] { return rowNamed(face.menu(), "Avvia registrazione") != nullptr; }));
    // The saved file's message and the row that shows the file.
    const QStringList rows = rowsOf(face.menu());
    QCOMPARE(rows.mid(0, 3), (QStringList{"Avvia registrazione", "(label) " + model_->message(), "-"}));
    QVERIFY(model_->message().startsWith("Salvata: "));
    QCOMPARE(rows.mid(3, 3),
             (QStringList{"Apri cartella registrazioni", "Mostra l'ultima registrazione", "-"}));
    rowNamed(face.menu(), "Mostra l'ultima registrazione")->trigger();
    QCOMPARE(services_->revealed.size(), 1u);
    QCOMPARE(face.labelState(), QuilloraApp::LabelState::idle);
    QCOMPARE(face.trayIcon().toolTip(), QStringLiteral("Quillora"));
}

void UiTests::menuWithTheMicrophoneRefused() {
    sim_->setAuthorizationStatus(AVAuthorizationStatusDenied);
    makeModel();
    UpdateManager updates(UpdateManager::Options{1h, {}});
    QuilloraApp face(*model_, updates, views_.get());
    startRecording();
    face.rebuildMenu();
    QCOMPARE(rowsOf(face.menu()).mid(0, 6),
             (QStringList{"Ferma registrazione", "(label) In registrazione \u00B7 00:00",
                          "(label) Microfono: nessuno",
                          "(label) Microfono non autorizzato: registro solo l'audio della chiamata.",
                          "Apri le impostazioni del microfono\u2026", "-"}));
    rowNamed(face.menu(), "Apri le impostazioni del microfono\u2026")->trigger();
    QCOMPARE(services_->soundSettings, 1);
}

void UiTests::menuAndIconWithAnUpdate() {
    LocalHttpServer server;
    server.setReply("/appcast.xml", {200, "application/rss+xml", feedWith("2.1"), {}});
    InfoIni info(
        {"CFBundleShortVersionString=1.4", "CFBundleVersion=140", "SUFeedURL=" + server.url("/appcast.xml")});
    UpdateManager updates(UpdateManager::Options{1ms, {}});
    makeModel(&updates);
    QuilloraApp face(*model_, updates, views_.get());
    QVERIFY(waitUntil([&] { return updates.availableVersion() == "2.1"; }));
    QVERIFY(waitUntil([&] { return face.menu().actions().size() > 11; }));
    QCOMPARE(rowsOf(face.menu()).mid(0, 3),
             (QStringList{"Installa l'aggiornamento a Quillora 2.1\u2026", "-", "Avvia registrazione"}));
    QCOMPARE(rowsOf(face.menu()).last(2), (QStringList{"(label) Quillora 1.4", "Esci da Quillora"}));
    QCOMPARE(face.labelState(), QuilloraApp::LabelState::updateAvailable);
    QVERIFY(face.trayIcon().toolTip().contains(QStringLiteral("Aggiornamento disponibile")));
    model_->closeNotice();

    // A recording takes over the icon and tooltip, and gives them back when it ends.
    startRecording();
    QCOMPARE(face.labelState(), QuilloraApp::LabelState::recording);
    QVERIFY(face.trayIcon().toolTip().startsWith(QStringLiteral("In registrazione \u00B7 ")));
    model_->stop();
    QCOMPARE(face.labelState(), QuilloraApp::LabelState::updateAvailable);

    // The three states have three different pictures.
    const QImage idle = QuilloraApp::iconFor(QuilloraApp::LabelState::idle).pixmap(22).toImage();
    const QImage update = QuilloraApp::iconFor(QuilloraApp::LabelState::updateAvailable).pixmap(22).toImage();
    const QImage recording = QuilloraApp::iconFor(QuilloraApp::LabelState::recording).pixmap(22).toImage();
    QVERIFY(!idle.isNull() && !update.isNull() && !recording.isNull());
    QVERIFY(idle != update && update != recording && idle != recording);
    QCOMPARE(recording.pixelColor(11, 2).red(), 0xFF); // the red ring
    // The plain phone reads on a dark bar and on a light one: it has light strokes with a dark rim.
    int light = 0;
    int dark = 0;
    for (int y = 0; y < idle.height(); ++y) {
        for (int x = 0; x < idle.width(); ++x) {
            const QColor pixel = idle.pixelColor(x, y);
            if (pixel.alpha() > 200) {
                light += pixel.lightness() > 200 ? 1 : 0;
                dark += pixel.lightness() < 60 ? 1 : 0;
            }
        }
    }
    QVERIFY2(light > 10 && dark > 10, qPrintable(QStringLiteral("%1 light, %2 dark").arg(light).arg(dark)));
}

void UiTests::quitStopsTheRecordingFirst() {
    makeModel();
    UpdateManager updates(UpdateManager::Options{1h, {}});
    QuilloraApp face(*model_, updates, views_.get());
    bool recordingAtQuit = true;
    int quits = 0;
    face.quit = [&] {
        recordingAtQuit = model_->isRecording();
        ++quits;
    };
    startRecording();
    face.rebuildMenu();
    rowNamed(face.menu(), "Esci da Quillora")->trigger();
    QCOMPARE(quits, 1);
    QVERIFY(!recordingAtQuit);
    QVERIFY(!model_->lastFile().isEmpty());
    QVERIFY(QFileInfo(model_->lastFile()).size() > 0);
}

int main(int argc, char** argv) {
    QTemporaryDir home;
    if (!home.isValid()) {
        return 1;
    }
    qputenv("XDG_STATE_HOME", (home.path() + QStringLiteral("/state")).toUtf8());
    qputenv("XDG_CONFIG_HOME", (home.path() + QStringLiteral("/config")).toUtf8());
    qputenv("XDG_DATA_HOME", (home.path() + QStringLiteral("/data")).toUtf8());
    qunsetenv("QUILLORA_INFO_INI");
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Tandrevel"));
    QApplication::setApplicationName(QStringLiteral("Quillora"));
    UiTests tests;
    const int result = QTest::qExec(&tests, argc, argv);
    Diagnostics::flush();
    return result;
}

#include "UiTests.moc"
