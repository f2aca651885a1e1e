// The application model on the Simulated audio system with a manual clock: the call watch and its notices,
// the end-of-call suggestion, update announcements, and recordings started and stopped for real.
#include "ManualClock.h"
#include "Quillora/Model/RecorderModel.h"
#include "SimulatedTestSupport.h"

#include <QSettings>
#include <QTemporaryDir>
#include <filesystem>
#include <map>

namespace {

using namespace std::chrono_literals;
using Signal = SimulatedAudioHardware::Signal;

class FakeViews final : public RecorderViews {
public:
    void showRecordingPanel() override { panelShown = true; }
    void hideRecordingPanel() override { panelShown = false; }
    void showNotice(const Notice& notice) override {
        notices.push_back(notice);
        noticeOpen = true;
    }
    void closeNotice() override { noticeOpen = false; }
    void showDemoNotice(const Notice& notice) override { demoNotices.push_back(notice); }
    void openFeedback(const std::optional<QString>& microphone) override { feedback.push_back(microphone); }
    void activateApplication() override { ++activations; }

    const Notice& current() const { return notices.back(); }

    bool panelShown = false;
    bool noticeOpen = false;
    std::vector<Notice> notices;
    std::vector<Notice> demoNotices;
    std::vector<std::optional<QString>> feedback;
    int activations = 0;
};

class FakeServices final : public PlatformServices {
public:
    void openLocation(const QUrl& location) override { opened.push_back(location); }
    void revealFile(const std::filesystem::path& file) override { revealed.push_back(file); }
    void openSoundSettings() override { ++soundSettings; }
    void playAlertSound() override { ++sounds; }
    std::optional<QString> applicationName(const std::string& identifier) override {
        const auto found = names.find(identifier);
        return found == names.end() ? std::nullopt : std::optional<QString>(found->second);
    }

    std::map<std::string, QString> names{{"us.zoom.Zoom", "Zoom"}, {"com.discordapp.Discord", "Discord"}};
    std::vector<QUrl> opened;
    std::vector<std::filesystem::path> revealed;
    int soundSettings = 0;
    int sounds = 0;
};

class RecorderModelTest : public SimulatedAudioTest {
protected:
    void SetUp() override {
        SimulatedAudioTest::SetUp();
        ASSERT_TRUE(folder.isValid());
        QSettings(QStringLiteral("Tandrevel"), QStringLiteral("Quillora")).clear();
        sim->setClockMode(SimulatedAudioHardware::ClockMode::realTime);
        addOutput("Altoparlanti", "speakers", Signal::tone(440, 0.3f));
        mic = addInput("Microfono USB", "usb-mic", {1}, Signal::tone(220, 0.2f));
        makeModel();
    }

    void TearDown() override {
        model.reset(); // stops nothing by itself: release any recorder before the audio system goes
        SimulatedAudioTest::TearDown();
    }

    void makeModel() {
        auto manual = std::make_unique<ManualClock>();
        clock = manual.get();
        auto fake = std::make_unique<FakeServices>();
        services = fake.get();
        RecorderModel::Options options;
        options.clock = std::move(manual);
        options.services = std::move(fake);
        options.recordingsDirectory = [this] { return std::filesystem::path(folder.path().toStdString()); };
        model = std::make_unique<RecorderModel>(std::move(options));
        model->setViews(&views);
    }

    // Starts a recording and waits for the permission answer.
    void startRecording() {
        model->start();
        ASSERT_TRUE(waitUntil([this] { return !model->isAwaitingPermission(); }));
        ASSERT_TRUE(model->isRecording()) << model->message().toStdString();
    }

    AudioObjectID addCallApp(const std::string& bundleID, int32_t pid) {
        return sim->addProcess(pid, bundleID, true);
    }

    QTemporaryDir folder;
    AudioObjectID mic = 0;
    ManualClock* clock = nullptr;
    FakeServices* services = nullptr;
    FakeViews views;
    std::unique_ptr<RecorderModel> model;
};

TEST_F(RecorderModelTest, OffersACallOncePerPresenceAndAgainAfterItReturns) {
    const AudioObjectID zoom = addCallApp("us.zoom.Zoom", 4101);
    clock->advance(2s); // first seen at 2 s
    clock->advance(2s);
    EXPECT_EQ(model->noticeKind(), "");
    clock->advance(1999ms);
    EXPECT_EQ(model->noticeKind(), "");
    clock->advance(1ms); // 6 s: present for 4 s
    ASSERT_EQ(model->noticeKind(), "call");
    ASSERT_EQ(views.notices.size(), 1u);
    EXPECT_EQ(views.current().title, "Chiamata in corso su Zoom");
    EXPECT_EQ(views.current().icon, "phone.fill");
    EXPECT_EQ(views.current().primaryTitle, "Registra");
    EXPECT_EQ(views.current().secondaryTitle, "Non ora");

    views.current().secondary(); // "Non ora"
    EXPECT_EQ(model->noticeKind(), "");
    EXPECT_FALSE(views.noticeOpen);
    clock->advance(20s);
    EXPECT_EQ(views.notices.size(), 1u) << "offered twice in one presence";

    sim->removeProcess(zoom);
    clock->advance(2s);
    addCallApp("us.zoom.Zoom", 4102);
    clock->advance(2s); // seen again
    clock->advance(2s);
    EXPECT_EQ(views.notices.size(), 1u);
    clock->advance(2s);
    EXPECT_EQ(views.notices.size(), 2u);
    EXPECT_EQ(model->noticeKind(), "call");
}

TEST_F(RecorderModelTest, ShortPresencesAndDisabledOffersShowNothing) {
    const AudioObjectID zoom = addCallApp("us.zoom.Zoom", 4101);
    clock->advance(4s); // two polls
    sim->removeProcess(zoom);
    clock->advance(2s);
    addCallApp("us.zoom.Zoom", 4101);
    clock->advance(4s + 2s - 1ms); // present again, but for less than 4 s
    EXPECT_TRUE(views.notices.empty());

    model->setProposeOnCall(false);
    clock->advance(20s);
    EXPECT_TRUE(views.notices.empty());
    EXPECT_FALSE(
        QSettings(QStringLiteral("Tandrevel"), QStringLiteral("Quillora")).value("proposeOnCall").toBool());
}

TEST_F(RecorderModelTest, OnlyTheFirstOfTwoAppsIsOfferedAndAnOpenNoticeBlocksTheOther) {
    addCallApp("us.zoom.Zoom", 4101);
    addCallApp("com.discordapp.Discord", 4102);
    clock->advance(6s);
    ASSERT_EQ(views.notices.size(), 1u);
    EXPECT_EQ(views.current().title, "Chiamata in corso su Zoom");
    clock->advance(10s);
    EXPECT_EQ(views.notices.size(), 1u) << "a second offer replaced the open one";

    views.current().secondary();
    clock->advance(2s);
    ASSERT_EQ(views.notices.size(), 2u);
    EXPECT_EQ(views.current().title, "Chiamata in corso su Discord");
}

TEST_F(RecorderModelTest, UpdateNoticeBlocksCallOffersUntilClosed) {
    model->announceUpdate("0.2.0");
    ASSERT_EQ(model->noticeKind(), "update");
    EXPECT_EQ(services->sounds, 1);
    EXPECT_EQ(views.current().message,
              "È pronta Quillora 0.2.0. L'installazione richiede pochi secondi e l'app si riapre da sola.");
    addCallApp("us.zoom.Zoom", 4101);
    clock->advance(10s);
    EXPECT_EQ(model->noticeKind(), "update");
    views.current().secondary(); // "Più tardi"
    clock->advance(2s);
    EXPECT_EQ(model->noticeKind(), "call");
}

TEST_F(RecorderModelTest, UnansweredCallNoticeClosesAfter30sOrAtTheFirstIdlePollWithoutCalls) {
    const AudioObjectID zoom = addCallApp("us.zoom.Zoom", 4101);
    clock->advance(6s);
    ASSERT_EQ(model->noticeKind(), "call");
    clock->advance(30s - 1ms);
    EXPECT_EQ(model->noticeKind(), "call");
    clock->advance(1ms);
    EXPECT_EQ(model->noticeKind(), "");
    EXPECT_FALSE(views.noticeOpen);
    clock->advance(10s);
    EXPECT_EQ(views.notices.size(), 1u) << "an unanswered offer came back while the app stayed";

    // The app leaves and returns: offered again; this time it leaves while the notice is up.
    sim->removeProcess(zoom);
    clock->advance(2s);
    const AudioObjectID again = addCallApp("us.zoom.Zoom", 4101);
    clock->advance(6s);
    ASSERT_EQ(model->noticeKind(), "call");
    sim->removeProcess(again);
    clock->advance(2s);
    EXPECT_EQ(model->noticeKind(), "");
    EXPECT_FALSE(views.noticeOpen);
}

TEST_F(RecorderModelTest, StartStopSavesTheFileAndTracksTime) {
    model->toggle();
    EXPECT_FALSE(model->isRecording()) << "toggle starts in a later task";
    ASSERT_TRUE(waitUntil([this] { return model->isRecording(); }));
    const auto started = clock->now();
    EXPECT_EQ(model->microphoneName(), "Microfono USB");
    EXPECT_TRUE(model->message().isNull());
    EXPECT_TRUE(views.panelShown);
    ASSERT_TRUE(waitUntil([this] {
        clock->advance(100ms);
        return model->micLevel() > 0 && model->systemLevel() > 0;
    }));

    clock->advance(std::chrono::duration_cast<std::chrono::milliseconds>(started + 3725s - clock->now()));
    EXPECT_NEAR(model->elapsed(), 3725.0, 1e-6);
    EXPECT_EQ(model->elapsedText(), "1:02:05");

    model->toggle();
    EXPECT_FALSE(model->isRecording());
    EXPECT_FALSE(views.panelShown);
    EXPECT_EQ(model->micLevel(), 0.0f);
    EXPECT_EQ(model->systemLevel(), 0.0f);
    const std::filesystem::path file = model->lastFile().toStdString();
    EXPECT_TRUE(std::filesystem::exists(file));
    EXPECT_EQ(file.parent_path(), std::filesystem::path(folder.path().toStdString()));
    EXPECT_EQ(model->message(), "Salvata: " + QString::fromStdString(file.filename().string()));
    EXPECT_TRUE(model->message().startsWith("Salvata: Chiamata "));
    EXPECT_EQ(sim->liveAggregateCount(), 0u);

    const QString before = model->message();
    model->stop(); // idle: nothing changes
    EXPECT_EQ(model->message(), before);
}

TEST_F(RecorderModelTest, SecondStartWhileAwaitingPermissionIsRefused) {
    sim->setAuthorizationStatus(AVAuthorizationStatusNotDetermined);
    sim->setGrantOnRequest(true);
    model->start();
    EXPECT_TRUE(model->isAwaitingPermission());
    model->start();
    model->toggle();
    ASSERT_TRUE(waitUntil([this] { return model->isRecording(); }));
    // Give any wrongly queued second start the chance to run.
    ASSERT_FALSE(waitUntil([] { return false; }, 200ms));
    EXPECT_EQ(sim->accessRequests(), 1);
    EXPECT_EQ(sim->liveAggregateCount(), 1u);
    EXPECT_FALSE(model->isAwaitingPermission());
    model->stop();
    EXPECT_EQ(sim->liveAggregateCount(), 0u);
}

TEST_F(RecorderModelTest, PermissionRefusedRecordsTheCallOnly) {
    sim->setAuthorizationStatus(AVAuthorizationStatusDenied);
    startRecording();
    EXPECT_EQ(model->message(), "Microfono non autorizzato: registro solo l'audio della chiamata.");
    model->stop();
    EXPECT_TRUE(model->message().startsWith("Salvata: "));
}

TEST_F(RecorderModelTest, NoMicrophoneAndEngineRefusalAreReported) {
    sim->removeDevice(mic);
    startRecording();
    EXPECT_EQ(model->message(), "Nessun microfono trovato: registro solo l'audio della chiamata.");
    EXPECT_TRUE(model->microphoneName().isEmpty());
    model->stop();
    const QString saved = model->lastFile();

    sim->injectFault(SimulatedAudioHardware::Operation::createAggregateDevice,
                     kAudioHardwareIllegalOperationError);
    model->start();
    ASSERT_TRUE(waitUntil([this] { return !model->isAwaitingPermission(); }));
    EXPECT_FALSE(model->isRecording());
    EXPECT_TRUE(model->message().contains("OSStatus")) << model->message().toStdString();
    EXPECT_EQ(model->lastFile(), saved);
    EXPECT_FALSE(views.panelShown);
}

TEST_F(RecorderModelTest, EngineEventsReachTheModel) {
    const AudioObjectID other = addInput("Cuffie", "headset", {1}, Signal::tone(300, 0.2f));
    startRecording();
    ASSERT_EQ(model->microphoneName(), "Microfono USB");
    sim->setDefaultInput(other);
    EXPECT_TRUE(waitUntil([this] { return model->microphoneName() == "Cuffie"; }))
        << model->microphoneName().toStdString();

    // A failure while recording: the partial file is kept, the model goes idle with the engine's text.
    model->handle(CallRecorder::Failure{"Registrazione interrotta"});
    EXPECT_FALSE(model->isRecording());
    EXPECT_FALSE(views.panelShown);
    EXPECT_EQ(model->message(), "Registrazione interrotta");
    EXPECT_TRUE(model->lastFile().endsWith(".m4a"));
    EXPECT_EQ(sim->liveAggregateCount(), 0u);
}

TEST_F(RecorderModelTest, FailureWhileIdleShowsItsTextButNoFile) {
    model->handle(CallRecorder::Failure{"Errore del motore"});
    EXPECT_EQ(model->message(), "Errore del motore");
    EXPECT_TRUE(model->lastFile().isEmpty());
    EXPECT_FALSE(model->isRecording());
}

TEST_F(RecorderModelTest, UpdateFoundWhileRecordingWaitsForStop) {
    startRecording();
    model->announceUpdate("0.2.0");
    model->announceUpdate("0.3.0");
    EXPECT_EQ(model->noticeKind(), "");
    EXPECT_EQ(services->sounds, 0);

    // An engine failure ends the recording without announcing it...
    model->handle(CallRecorder::Failure{"Registrazione interrotta"});
    EXPECT_EQ(model->noticeKind(), "");
    // ...the next saved recording does, with the latest version.
    startRecording();
    model->stop();
    ASSERT_EQ(model->noticeKind(), "update");
    EXPECT_TRUE(views.current().message.startsWith("È pronta Quillora 0.3.0."));
    EXPECT_EQ(services->sounds, 1);
    EXPECT_TRUE(model->message().startsWith("Salvata: "));
    model->stop(); // idle: nothing replayed twice
    EXPECT_EQ(services->sounds, 1);
}

TEST_F(RecorderModelTest, CallEndedSuggestionWithTheOverlayOn) {
    const AudioObjectID zoom = addCallApp("us.zoom.Zoom", 4101);
    clock->advance(3s); // seen at 2 s
    startRecording();   // at 3 s: the call app counts as seen now
    sim->removeProcess(zoom);
    clock->advance(7s - 1ms); // polls at 4, 6, 8 s: not more than 6 s yet
    EXPECT_FALSE(model->callEndedSuggestion());
    clock->advance(1ms); // the poll at 10 s: 7 s without a call
    EXPECT_TRUE(model->callEndedSuggestion());
    EXPECT_EQ(model->noticeKind(), "") << "the recording panel shows the suggestion itself";

    addCallApp("us.zoom.Zoom", 4101);
    clock->advance(2s);
    EXPECT_FALSE(model->callEndedSuggestion());

    // Hiding the panel while recording hides it at once; showing it again brings it back.
    model->setShowOverlay(false);
    EXPECT_FALSE(views.panelShown);
    model->setShowOverlay(true);
    EXPECT_TRUE(views.panelShown);
}

TEST_F(RecorderModelTest, CallEndedNoticeWithTheOverlayOff) {
    model->setShowOverlay(false);
    EXPECT_FALSE(views.panelShown);
    const AudioObjectID zoom = addCallApp("us.zoom.Zoom", 4101);
    clock->advance(3s);
    startRecording();
    EXPECT_FALSE(views.panelShown);
    sim->removeProcess(zoom);
    clock->advance(7s);
    ASSERT_EQ(model->noticeKind(), "ended");
    EXPECT_EQ(views.current().title, "La chiamata sembra finita");
    clock->advance(20s);
    EXPECT_EQ(views.notices.size(), 1u) << "the ended notice opens once per silence";

    // The call comes back: the suggestion goes, the notice stays until answered.
    const AudioObjectID back = addCallApp("us.zoom.Zoom", 4101);
    clock->advance(2s);
    EXPECT_FALSE(model->callEndedSuggestion());
    EXPECT_EQ(model->noticeKind(), "ended");

    // "Continua" forgets the last sighting: no new suggestion until a call app is seen again.
    views.current().secondary();
    sim->removeProcess(back);
    clock->advance(20s);
    EXPECT_EQ(model->noticeKind(), "");
    EXPECT_FALSE(model->callEndedSuggestion());

    // A new sighting and a new silence: a new suggestion and a new notice.
    const AudioObjectID third = addCallApp("us.zoom.Zoom", 4101);
    clock->advance(2s);
    sim->removeProcess(third);
    clock->advance(8s);
    EXPECT_TRUE(model->callEndedSuggestion());
    EXPECT_EQ(model->noticeKind(), "ended");
    EXPECT_EQ(views.notices.size(), 2u);
}

TEST_F(RecorderModelTest, EndedNoticeStopAnswerSavesTheRecording) {
    model->setShowOverlay(false);
    startRecording();
    const AudioObjectID zoom = addCallApp("us.zoom.Zoom", 4101);
    clock->advance(2s);
    sim->removeProcess(zoom);
    clock->advance(8s);
    ASSERT_EQ(model->noticeKind(), "ended");
    views.current().primary(); // "Ferma e salva"
    EXPECT_FALSE(model->isRecording());
    EXPECT_EQ(model->noticeKind(), "");
    EXPECT_TRUE(model->message().startsWith("Salvata: "));
}

TEST_F(RecorderModelTest, RecordAnswerStartsARecording) {
    addCallApp("us.zoom.Zoom", 4101);
    clock->advance(6s);
    ASSERT_EQ(model->noticeKind(), "call");
    views.current().primary(); // "Registra"
    EXPECT_EQ(model->noticeKind(), "");
    ASSERT_TRUE(waitUntil([this] { return model->isRecording(); }));
    model->stop();
}

TEST_F(RecorderModelTest, DisplayNameUsesTheInstalledNameElseTheLastPiece) {
    EXPECT_EQ(RecorderModel::displayName("us.zoom.Zoom", *services), "Zoom");
    EXPECT_EQ(RecorderModel::displayName("org.telegram.desktop", *services), "desktop");
    EXPECT_EQ(RecorderModel::displayName("chromium", *services), "chromium");
    EXPECT_EQ(RecorderModel::displayName("com.example..App.", *services), "App");
    EXPECT_EQ(RecorderModel::displayName("...", *services), "...");
}

TEST_F(RecorderModelTest, DemonstrationFillsThePanelsWithoutRecording) {
    model->showDemo();
    EXPECT_TRUE(model->isRecording());
    EXPECT_EQ(model->elapsedText(), "12:48");
    EXPECT_EQ(model->microphoneName(), "Microfono MacBook Air");
    EXPECT_TRUE(views.panelShown);
    ASSERT_EQ(model->noticeKind(), "call");
    EXPECT_EQ(views.current().title, "Chiamata in corso su WhatsApp");
    EXPECT_TRUE(views.demoNotices.empty());
    clock->advance(100ms);
    ASSERT_EQ(views.demoNotices.size(), 1u);
    EXPECT_EQ(views.demoNotices[0].message,
              "È pronta Quillora 0.3.0. L'installazione richiede pochi secondi e l'app si riapre da sola.");
    EXPECT_EQ(model->noticeKind(), "call");
    EXPECT_EQ(sim->liveAggregateCount(), 0u);
}

TEST_F(RecorderModelTest, MenuActionsReachTheDesktop) {
    model->revealLastFile();
    EXPECT_TRUE(services->revealed.empty());
    model->openFolder();
    ASSERT_EQ(services->opened.size(), 1u);
    EXPECT_EQ(services->opened[0], QUrl::fromLocalFile(folder.path()));
    model->openMicrophoneSettings();
    EXPECT_EQ(services->soundSettings, 1);
    startRecording();
    model->openFeedback();
    model->stop();
    ASSERT_EQ(views.feedback.size(), 1u);
    EXPECT_EQ(views.feedback[0], QString("Microfono USB"));
    model->revealLastFile();
    ASSERT_EQ(services->revealed.size(), 1u);
    EXPECT_EQ(QString::fromStdString(services->revealed[0].string()), model->lastFile());
}

TEST_F(RecorderModelTest, PreferencesPersistUnderTheirKeys) {
    EXPECT_TRUE(model->showOverlay());
    EXPECT_TRUE(model->proposeOnCall());
    model->setShowOverlay(false);
    model->setProposeOnCall(false);
    model.reset();
    makeModel();
    EXPECT_FALSE(model->showOverlay());
    EXPECT_FALSE(model->proposeOnCall());
    const QSettings store(QStringLiteral("Tandrevel"), QStringLiteral("Quillora"));
    EXPECT_EQ(store.value("showOverlay").toBool(), false);
    EXPECT_EQ(store.value("proposeOnCall").toBool(), false);
}

} // namespace
