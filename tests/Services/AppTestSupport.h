#pragma once
// Shared by the application's tests: a local HTTP server, Info.ini, feeds, a manual clock, recording fakes
// and a real model on the simulated audio system.

#include "Platform/Audio/Simulated/SimulatedAudioHardware.h"
#include "Quillora/Model/RecorderModel.h"
#include "Quillora/Services/Updater.h"
#include "Support/LogSince.h"
#include "Support/WaitUntil.h"

#include <QCoreApplication>
#include <QFile>
#include <QMap>
#include <QSettings>
#include <QTcpServer>
#include <QTemporaryDir>
#include <algorithm>
#include <gtest/gtest.h>

using namespace std::chrono_literals;

// An HTTP server on 127.0.0.1: canned replies by path (404 otherwise), one per connection; requests kept.
class LocalHttpServer : public QObject {
    Q_OBJECT

public:
    struct Reply {
        Reply(int code = 200, QByteArray text = {}, QByteArray redirect = {}, bool never = false)
            : status(code), body(std::move(text)), location(std::move(redirect)), hang(never) {}
        int status;
        QByteArray body;
        QByteArray location; // a Location header when not empty
        bool hang;           // take the request, never answer
    };
    struct Request {
        QByteArray method, path, body;
        QMap<QByteArray, QByteArray> headers; // names in lower case
    };

    LocalHttpServer();
    void setReply(const QByteArray& path, Reply reply) { replies_[path] = std::move(reply); }
    QString url(const QString& path = {}) const {
        return QStringLiteral("http://127.0.0.1:%1%2").arg(server_.serverPort()).arg(path);
    }
    QList<Request> requests;

private:
    QTcpServer server_;
    QMap<QByteArray, Reply> replies_;
};

// writeFile makes the folders and fails the test if it cannot; readFile gives "" if it cannot read.
void writeFile(const QString& path, const QByteArray& contents);
QByteArray readFile(const QString& path);
QByteArray rssFeed(const QByteArray& items); // an update feed with these <item>s

// An Info.ini of "key=value" lines, chosen through QUILLORA_INFO_INI while it lives.
class InfoIni {
public:
    explicit InfoIni(const QStringList& lines) {
        writeFile(dir_.filePath("Info.ini"), (lines.join('\n') + '\n').toUtf8());
        qputenv("QUILLORA_INFO_INI", dir_.filePath("Info.ini").toUtf8());
    }
    ~InfoIni() { // a newer InfoIni may have taken over already
        if (qEnvironmentVariable("QUILLORA_INFO_INI") == dir_.filePath("Info.ini")) {
            qunsetenv("QUILLORA_INFO_INI");
        }
    }

private:
    QTemporaryDir dir_;
};
// A feed with one release for this system, its downloads given as <enclosure> elements.
QByteArray
appcastFeed(const QByteArray& version, const QByteArray& shortVersion,
            const QByteArray& enclosures = "<enclosure url=\"https://example.org/Quillora.AppImage\"/>");

// Records the dialogs the updater asks for ("update 1.5", "failed <why>"…), answering all but the update
// found at once; that one is answered "install" at once when told to, else by the test.
class FakeDialogs final : public UpdateDialogs {
public:
    void showUpdateFound(const AppcastItem& update, std::function<void(Choice)> done) override {
        shown.append("update " + update.displayVersion);
        installAtOnce ? done(Choice::install) : void(answerUpdate = std::move(done));
    }
    void showUpToDate(const QString& v, std::function<void()> done) override {
        note("up to date " + v, done);
    }
    void showCheckFailed(const QString& why, std::function<void()> done) override {
        note("failed " + why, done);
    }
    void showProgress(qint64, qint64) override {}
    void showWaitingForRecording() override { shown.append("waiting"); }
    void showInstallFailed(const QString& why, std::function<void()> done) override {
        note("install failed " + why, done);
    }
    void note(const QString& what, const std::function<void()>& done) { shown.append(what), done(); }

    bool installAtOnce = false;
    QStringList shown;
    std::function<void(Choice)> answerUpdate;
};

// A clock that moves only in advance(): due timers fire in order (ties: first set), now() at their instant.
class ManualClock final : public ModelClock {
public:
    TimePoint now() const override { return now_; }
    std::unique_ptr<ModelTimer> repeat(std::chrono::milliseconds interval,
                                       std::function<void()> body) override {
        struct Timer final : ModelTimer { // cancels its entry when the model drops it
            std::shared_ptr<Entry> entry;
            ~Timer() override { entry->cancelled = true; }
        };
        auto timer = std::make_unique<Timer>();
        timer->entry =
            entries_.emplace_back(std::make_shared<Entry>(Entry{now_ + interval, interval, std::move(body)}));
        return timer;
    }
    void once(std::chrono::milliseconds delay, std::function<void()> body) override {
        entries_.push_back(std::make_shared<Entry>(Entry{now_ + delay, {}, std::move(body)}));
    }
    void advance(std::chrono::milliseconds duration) {
        const TimePoint target = now_ + duration;
        for (;;) {
            std::erase_if(entries_, [](const auto& entry) { return entry->cancelled; });
            const auto next = std::min_element(entries_.begin(), entries_.end(),
                                               [](const auto& a, const auto& b) { return a->due < b->due; });
            if (next == entries_.end() || (*next)->due > target) {
                break;
            }
            const std::shared_ptr<Entry> entry = *next;
            entries_.erase(next);
            now_ = entry->due;
            if (entry->interval.count() > 0) { // a repeat fired goes to the end of the order
                entry->due += entry->interval;
                entries_.push_back(entry);
            }
            entry->body(); // may add or cancel entries
        }
        now_ = target;
    }

private:
    struct Entry {
        TimePoint due;
        std::chrono::milliseconds interval; // 0: once
        std::function<void()> body;
        bool cancelled = false;
    };
    TimePoint now_{};
    std::vector<std::shared_ptr<Entry>> entries_;
};

class RecordingServices final : public PlatformServices {
public:
    void openLocation(const QUrl& location) override { opened.push_back(location); }
    void revealFile(const std::filesystem::path& file) override { revealed.push_back(file); }
    void openSoundSettings() override { ++soundSettings; }
    void playAlertSound() override { ++sounds; }
    std::optional<QString> applicationName(const std::string& id, int32_t) override {
        return id == "us.zoom.Zoom" ? std::optional<QString>("Zoom") : std::nullopt;
    }

    std::vector<QUrl> opened;
    std::vector<std::filesystem::path> revealed;
    int soundSettings = 0, sounds = 0;
};

class RecordingViews final : public RecorderViews {
public:
    void showRecordingPanel() override { panelShown = true; }
    void hideRecordingPanel() override { panelShown = false; }
    void showNotice(const Notice& notice) override { notices.push_back(notice), noticeOpen = true; }
    void closeNotice() override { noticeOpen = false; }
    void showDemoNotice(const Notice&) override {}
    void openFeedback(const std::optional<QString>& microphone) override { feedback.push_back(microphone); }
    void activateApplication() override {}
    const Notice& current() const { return notices.back(); }

    bool panelShown = false, noticeOpen = false;
    std::vector<Notice> notices;
    std::vector<std::optional<QString>> feedback;
};

// A device of the simulated audio system, its name as its uid, with these input and output streams.
inline SimulatedAudioHardware::DeviceConfig simulatedDevice(const std::string& name, std::vector<int> inputs,
                                                            std::vector<int> outputs) {
    SimulatedAudioHardware::DeviceConfig device;
    device.name = device.uid = name;
    device.inputStreams = std::move(inputs);
    device.outputStreams = std::move(outputs);
    device.input = device.output = SimulatedAudioHardware::Signal::tone(220, 0.2f);
    return device;
}

// A real model on simulated speakers and USB microphone, a manual clock, recording fakes, a temporary
// recordings folder and empty preferences.
class ModelHarness {
public:
    ModelHarness() {
        QSettings().clear();
        auto hardware = std::make_unique<SimulatedAudioHardware>();
        sim = hardware.get();
        AudioHardware::setShared(std::move(hardware));
        sim->setClockMode(SimulatedAudioHardware::ClockMode::realTime);
        sim->addDevice(simulatedDevice("Altoparlanti", {}, {2}));
        mic = sim->addDevice(simulatedDevice("Cuffie R&D USB", {1}, {})); // "&" is not a menu mnemonic here
        makeModel();
    }
    ~ModelHarness() {
        model->stop();
        model->setViews(nullptr);
        model.reset(); // releases its recorder before the audio system goes
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        AudioHardware::setShared(nullptr);
    }
    void makeModel() { // a new model over the same audio system
        RecorderModel::Options options;
        options.clock = std::make_unique<ManualClock>();
        clock = static_cast<ManualClock*>(options.clock.get());
        options.services = std::make_unique<RecordingServices>();
        services = static_cast<RecordingServices*>(options.services.get());
        options.recordingsDirectory = [this] { return std::filesystem::path(folder.path().toStdString()); };
        model = std::make_unique<RecorderModel>(std::move(options));
        model->setViews(&views);
    }
    bool startRecording() { // true once recording
        model->start();
        return waitUntil([this] { return !model->isAwaitingPermission(); }) && model->isRecording();
    }
    AudioObjectID addCallApp(const std::string& id, int32_t pid) { return sim->addProcess(pid, id, true); }

    QTemporaryDir folder;
    SimulatedAudioHardware* sim = nullptr;
    AudioObjectID mic = 0;
    ManualClock* clock = nullptr;
    RecordingServices* services = nullptr;
    RecordingViews views;
    std::unique_ptr<RecorderModel> model;
};
