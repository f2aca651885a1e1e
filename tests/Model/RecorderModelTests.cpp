// The model on the simulated audio system and a manual clock: recording, failures, call notices, updates;
// and which processes using the microphone count as calls.
#include "QuilloraCore/CallDetector.h"
#include "Services/AppTestSupport.h"

#include <iterator>
#include <sstream>

namespace {

class RecorderModelTest : public ::testing::Test, public ModelHarness {
protected:
    void expectSaved() {
        EXPECT_FALSE(model->isRecording() || views.panelShown);
        EXPECT_TRUE(model->message().startsWith("Salvata: Chiamata ")) << model->message().toStdString();
        EXPECT_TRUE(std::filesystem::exists(model->lastFile().toStdString()));
        EXPECT_EQ(sim->liveAggregateCount(), 0u);
    }
    void callComesAndGoes(std::chrono::milliseconds after) { // seen at the next poll, gone `after` later
        const AudioObjectID app = addCallApp("us.zoom.Zoom", 4101);
        clock->advance(after);
        sim->removeProcess(app);
    }
};

TEST_F(RecorderModelTest, StartStopSavesTheFileAndTracksTime) {
    model->revealLastFile(); // nothing saved yet
    model->toggle();
    ASSERT_TRUE(waitUntil([this] { return model->isRecording(); }));
    const auto started = clock->now();
    EXPECT_TRUE(views.panelShown);
    ASSERT_TRUE(waitUntil([this] {
        clock->advance(100ms);
        return model->micLevel() > 0 && model->systemLevel() > 0;
    }));
    clock->advance(std::chrono::duration_cast<std::chrono::milliseconds>(started + 3725s - clock->now()));
    EXPECT_EQ(model->elapsedText(), "1:02:05");
    model->openFeedback(); // names the microphone in use
    EXPECT_EQ(views.feedback, std::vector<std::optional<QString>>{QString("Cuffie R&D USB")});
    // An hour-long call is finished off the main thread: the model is idle at once and says it is saving.
    model->toggle();
    EXPECT_FALSE(model->isRecording());
    EXPECT_EQ(model->message(), "Salvataggio in corso…");
    ASSERT_TRUE(waitUntil([this] { return !model->lastFile().isEmpty(); }));
    expectSaved();
    EXPECT_EQ(model->micLevel(), 0.0f);
    const std::filesystem::path file = model->lastFile().toStdString();
    EXPECT_EQ(file.parent_path(), std::filesystem::path(folder.path().toStdString()));
    EXPECT_EQ(model->message(), "Salvata: " + QString::fromStdString(file.filename().string()));
    model->revealLastFile();
    EXPECT_EQ(services->revealed, std::vector{file});

    // A second start while the first waits for permission is refused.
    sim->setAuthorizationStatus(AVAuthorizationStatusNotDetermined);
    sim->setGrantOnRequest(true);
    model->start();
    EXPECT_TRUE(model->isAwaitingPermission());
    model->start();
    model->toggle();
    ASSERT_TRUE(waitUntil([this] { return model->isRecording(); }));
    runEventsFor(200ms); // a wrongly queued second start would run now
    EXPECT_EQ(sim->accessRequests(), 1);
    EXPECT_EQ(sim->liveAggregateCount(), 1u);
}

TEST_F(RecorderModelTest, FailuresKeepWhatWasRecordedAndNoMicrophoneStillRecordsTheCall) {
    sim->injectFault(SimulatedAudioHardware::Operation::createAggregateDevice,
                     kAudioHardwareIllegalOperationError);
    EXPECT_FALSE(startRecording());
    EXPECT_TRUE(model->message().contains("OSStatus")) << model->message().toStdString();
    EXPECT_TRUE(model->lastFile().isEmpty());
    EXPECT_FALSE(views.panelShown);

    sim->clearFaults(); // recording: a new default microphone is followed, a failure keeps the file
    ASSERT_TRUE(startRecording());
    const AudioObjectID other = sim->addDevice(simulatedDevice("Cuffie", {1}, {}));
    sim->setDefaultInput(other);
    EXPECT_TRUE(waitUntil([this] { return model->microphoneName() == "Cuffie"; }));
    model->handle(CallRecorder::Failure{"Registrazione interrotta"});
    EXPECT_FALSE(model->isRecording() || views.panelShown);
    EXPECT_EQ(model->message(), "Registrazione interrotta");
    EXPECT_TRUE(std::filesystem::exists(model->lastFile().toStdString()));
    EXPECT_EQ(sim->liveAggregateCount(), 0u);

    sim->removeDevice(mic);
    sim->removeDevice(other);
    ASSERT_TRUE(startRecording());
    EXPECT_EQ(model->message(), "Nessun microfono trovato: registro solo l'audio della chiamata.");
    model->stop();
    expectSaved();
}

TEST_F(RecorderModelTest, CallOfferedAfterFourSecondsOncePerPresenceClosedAfter30sOrWhenTheCallGoes) {
    callComesAndGoes(4s); // seen at 2 s, gone at 4 s: too short
    clock->advance(2s);
    AudioObjectID zoom = addCallApp("us.zoom.Zoom", 4101);
    clock->advance(5999ms); // seen at 8 s
    EXPECT_TRUE(views.notices.empty());
    clock->advance(1ms);
    ASSERT_EQ(model->noticeKind(), "call");
    EXPECT_EQ(views.current().title, "Chiamata in corso su Zoom");
    views.current().secondary(); // "Non ora"
    EXPECT_FALSE(views.noticeOpen);
    clock->advance(40s);
    EXPECT_EQ(views.notices.size(), 1u) << "offered twice in one presence";

    sim->removeProcess(zoom); // unanswered: closed after 30 s, not offered again while the app stays
    clock->advance(2s);
    zoom = addCallApp("us.zoom.Zoom", 4102);
    clock->advance(6s + 30s - 1ms);
    ASSERT_EQ(views.notices.size(), 2u);
    EXPECT_EQ(model->noticeKind(), "call");
    clock->advance(1ms);
    EXPECT_FALSE(views.noticeOpen);
    clock->advance(10s);
    EXPECT_EQ(views.notices.size(), 2u) << "an unanswered offer came back while the app stayed";

    sim->removeProcess(zoom); // closed when the call goes; accepted, it records
    clock->advance(2s);
    callComesAndGoes(6s);
    ASSERT_EQ(views.notices.size(), 3u);
    EXPECT_TRUE(views.noticeOpen);
    clock->advance(2s);
    EXPECT_FALSE(views.noticeOpen);
    addCallApp("us.zoom.Zoom", 4103);
    clock->advance(6s);
    ASSERT_EQ(views.notices.size(), 4u);
    views.current().primary(); // "Registra"
    EXPECT_EQ(model->noticeKind(), "");
    EXPECT_TRUE(waitUntil([this] { return model->isRecording(); }));
}

TEST_F(RecorderModelTest, OneNoticeAtATimeNoneWhenDisabledAndUpdatesWaitForTheSavedFile) {
    ASSERT_TRUE(startRecording());
    model->announceUpdate("0.2.0");
    model->announceUpdate("0.3.0");
    EXPECT_EQ(model->noticeKind(), "");
    model->handle(CallRecorder::Failure{"Registrazione interrotta"}); // not announced after a failure
    EXPECT_EQ(model->noticeKind(), "");
    ASSERT_TRUE(startRecording());
    model->stop();
    ASSERT_EQ(model->noticeKind(), "update");
    EXPECT_TRUE(views.current().message.startsWith("È pronta Quillora 0.3.0."));
    model->stop(); // idle: nothing replayed
    EXPECT_EQ(services->sounds, 1);

    addCallApp("us.zoom.Zoom", 4101);
    addCallApp("com.discordapp.Discord", 4102);
    clock->advance(10s);
    EXPECT_EQ(model->noticeKind(), "update") << "a call offer replaced the open notice";
    for (const char* title : {"Chiamata in corso su Zoom", "Chiamata in corso su Discord"}) {
        views.current().secondary();
        clock->advance(2s);
        EXPECT_EQ(views.current().title, title);
    }
    views.current().secondary();
    model->setProposeOnCall(false);
    addCallApp("org.example.Meet", 4103);
    clock->advance(20s);
    EXPECT_EQ(views.notices.size(), 3u);
    makeModel(); // preferences persist
    EXPECT_FALSE(model->proposeOnCall());
}

TEST_F(RecorderModelTest, CallEndedSuggestionAfterSixSecondsInThePanelOrANotice) {
    const AudioObjectID zoom = addCallApp("us.zoom.Zoom", 4101);
    clock->advance(3s); // seen at 2 s
    ASSERT_TRUE(startRecording());
    sim->removeProcess(zoom);
    clock->advance(7s - 1ms); // polls at 4, 6, 8 s: not more than 6 s without a call yet
    EXPECT_FALSE(model->callEndedSuggestion());
    clock->advance(1ms);
    EXPECT_TRUE(model->callEndedSuggestion());
    EXPECT_EQ(model->noticeKind(), "") << "the recording panel shows the suggestion itself";
    const AudioObjectID back = addCallApp("us.zoom.Zoom", 4101);
    clock->advance(2s);
    EXPECT_FALSE(model->callEndedSuggestion());

    // Without the panel, a notice: once per silence, forgotten by "Continua", "Ferma e salva" saves.
    model->setShowOverlay(false);
    EXPECT_FALSE(views.panelShown);
    model->setShowOverlay(true);
    EXPECT_TRUE(views.panelShown);
    model->setShowOverlay(false);
    sim->removeProcess(back);
    clock->advance(8s);
    ASSERT_EQ(model->noticeKind(), "ended");
    clock->advance(20s);
    EXPECT_EQ(views.notices.size(), 1u) << "the ended notice opens once per silence";
    views.current().secondary(); // "Continua"
    clock->advance(20s);
    EXPECT_EQ(model->noticeKind(), "");
    EXPECT_FALSE(model->callEndedSuggestion());
    callComesAndGoes(2s);
    clock->advance(8s);
    ASSERT_EQ(views.notices.size(), 2u);
    views.current().primary(); // "Ferma e salva"
    EXPECT_EQ(model->noticeKind(), "");
    expectSaved();
    makeModel(); // preferences persist
    EXPECT_FALSE(model->showOverlay());
}

using Apps = std::vector<std::string>;

Apps words(const std::string& text) {
    std::istringstream stream(text);
    return {std::istream_iterator<std::string>(stream), std::istream_iterator<std::string>()};
}

// The processes' identifiers ("-": unreadable) with process ids from 0 (unreadable) up; ours is 1.
Apps appsOf(const std::string& identifiers) {
    std::vector<MicrophoneClient> clients;
    for (const std::string& id : words(identifiers)) {
        clients.push_back({static_cast<int32_t>(clients.size()), id == "-" ? "" : id});
    }
    return CallDetector::callApps(clients, 1);
}

TEST(CallApps, KeepsCallingApplicationsOnceEachAndDropsTheSoundSystemRecordersAndItself) {
    // Calling apps by any name; exclusions are case-sensitive, recorders matched whole, not as prefixes.
    const std::string calls = "org.mozilla.firefox teams-for-linux PipeWire Kmix recorder-chat obs-chat "
                              "com.apple.Sirix";
    EXPECT_EQ(appsOf("chromium us.zoom.Zoom " + calls), words("chromium " + calls));
    EXPECT_EQ(appsOf("pipewire-pulse wireplumber quillora org.pulseaudio.pavucontrol kmix easyeffects "
                     "gnome-sound-recorder com.apple.siri.x com.apple.coreaudiod pw-record arecord rec "
                     "audacity com.obsproject.Studio com.tandrevel.Quillora"),
              Apps{});
    // Unreadable identifiers go; an application's processes and helpers are one entry, first seen first.
    EXPECT_EQ(appsOf("chromium us.zoom.Zoom - .Helper chromium com.example.app com.apple.WebKit.GPU "
                     "com.example.app.helper"),
              words("chromium com.example.app com.apple.Safari"));
}

TEST(CallApps, NormalizesHelperProcessesToTheirApplication) {
    // Pairs of identifier and application; markers are found in any case, ".helper" first, wherever they are.
    const Apps pairs =
        words("com.apple.avconferenced com.apple.FaceTime  x.FaceTime.helper com.apple.FaceTime  "
              "com.apple.WebKit.WebContent com.apple.Safari  com.apple.webkit.GPU com.apple.webkit.GPU  "
              "com.example.Chat.HELPER com.example.Chat  com.example.helperkit com.example  "
              "com.example.voice.framework.audioservice com.example.voice  "
              "com.example.audioservice.helper com.example.audioservice  org.example.İnternet.helper "
              "org.example.İnternet  zoom zoom");
    for (std::size_t i = 0; i + 1 < pairs.size(); i += 2) {
        EXPECT_EQ(CallDetector::normalize(pairs[i]), pairs[i + 1]);
    }
    EXPECT_EQ(CallDetector::normalize(".helper"), "");
}

} // namespace
