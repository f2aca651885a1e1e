#include "Quillora/Model/RecorderModel.h"

#include "Platform/Files/PrivateFiles.h"
#include "Quillora/Services/UpdateManager.h"
#include "QuilloraCore/CallDetector.h"
#include "QuilloraCore/Diagnostics.h"
#include "QuilloraCore/FileNaming.h"
#include "QuilloraCore/VoiceLeveler.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QPointer>
#include <QUrl>
#include <algorithm>
#include <cmath>
#include <unistd.h>

namespace {

const QString callKind = QStringLiteral("call");
const QString endedKind = QStringLiteral("ended");
const QString updateKind = QStringLiteral("update");

double secondsBetween(ModelClock::TimePoint from, ModelClock::TimePoint to) {
    return std::chrono::duration<double>(to - from).count();
}

} // namespace

RecorderModel& RecorderModel::shared() {
    static QPointer<RecorderModel> instance;
    if (instance.isNull()) {
        QCoreApplication* app = QCoreApplication::instance();
        Q_ASSERT(app != nullptr);
        Options options;
        options.updates = &UpdateManager::shared();
        instance = new RecorderModel(std::move(options), app);
    }
    return *instance;
}

RecorderModel::RecorderModel(Options options, QObject* parent)
    : QObject(parent), preferences_(QStringLiteral("Tandrevel"), QStringLiteral("Quillora")),
      clock_(options.clock ? std::move(options.clock) : ModelClock::system()),
      services_(options.services ? std::move(options.services) : PlatformServices::desktop()),
      recordingsDirectory_(options.recordingsDirectory ? std::move(options.recordingsDirectory)
                                                       : FileNaming::defaultDirectory),
      updates_(options.updates) {
    showOverlay_ = preferences_.value(QStringLiteral("showOverlay"), true).toBool();
    proposeOnCall_ = preferences_.value(QStringLiteral("proposeOnCall"), true).toBool();

    // The call watch runs for the life of the model, recording or not.
    QPointer<RecorderModel> self(this);
    callTimer_ = clock_->repeat(callWatchInterval, [self] {
        if (self) {
            self->pollCalls();
        }
    });
    if (updates_ != nullptr) {
        updates_->onUpdateFound = [self](const QString& version) {
            if (self) {
                self->announceUpdate(version);
            }
        };
    }
}

RecorderModel::~RecorderModel() = default;

void RecorderModel::setViews(RecorderViews* views) {
    views_ = views;
}

QString RecorderModel::elapsedText() const {
    const auto s = static_cast<long long>(std::trunc(elapsed_));
    if (s < 3600) {
        return QString::asprintf("%02lld:%02lld", (s % 3600) / 60, s % 60);
    }
    return QString::asprintf("%lld:%02lld:%02lld", s / 3600, (s % 3600) / 60, s % 60);
}

void RecorderModel::setShowOverlay(bool show) {
    preferences_.setValue(QStringLiteral("showOverlay"), show);
    if (show != showOverlay_) {
        showOverlay_ = show;
        emit showOverlayChanged(show);
    }
    refreshOverlay();
}

void RecorderModel::setProposeOnCall(bool propose) {
    preferences_.setValue(QStringLiteral("proposeOnCall"), propose);
    if (propose != proposeOnCall_) {
        proposeOnCall_ = propose;
        emit proposeOnCallChanged(propose);
    }
}

// ----- recording control -----

void RecorderModel::later(std::function<void(RecorderModel&)> body) {
    QMetaObject::invokeMethod(
        this,
        [self = QPointer<RecorderModel>(this), body = std::move(body)] {
            if (self) {
                body(*self);
            }
        },
        Qt::QueuedConnection);
}

void RecorderModel::toggle() {
    if (isRecording_) {
        stop();
    } else {
        later([](RecorderModel& model) { model.start(); });
    }
}

void RecorderModel::start() {
    if (isRecording_) {
        return;
    }
    if (awaitingPermission_) {
        // One recorder at a time: the start already under way wins.
        Diagnostics::log("Avvio ignorato: un avvio attende già il permesso del microfono");
        return;
    }
    setMessage(QString());
    closeNotice();
    Diagnostics::log("Avvio richiesto");
    awaitingPermission_ = true;
    QPointer<RecorderModel> self(this);
    // The answer may come on any thread, or before this call returns: continue on the main thread, later.
    CallRecorder::requestMicrophoneAccess([self](bool allowed) {
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [self, allowed] {
                if (self) {
                    self->continueStart(allowed);
                }
            },
            Qt::QueuedConnection);
    });
}

void RecorderModel::continueStart(bool allowed) {
    awaitingPermission_ = false;
    Diagnostics::log(std::string("Permesso microfono: ") + (allowed ? "true" : "false"));
    if (isRecording_) {
        return;
    }
    const std::filesystem::path location =
        FileNaming::recordingURL(recordingsDirectory_(), QDateTime::currentDateTime());
    auto recorder = std::make_unique<CallRecorder>(location, std::nullopt);
    const uint64_t generation = ++recorderGeneration_;
    QPointer<RecorderModel> self(this);
    // Events come from inside the recorder's own callbacks: handling them later, in order, lets the
    // model release the recorder safely.
    recorder->onEvent = [self, generation](const CallRecorder::Event& event) {
        if (!self) {
            return;
        }
        self->later([generation, event](RecorderModel& model) {
            if (model.recorder_ && model.recorderGeneration_ == generation) {
                model.handle(event);
            }
        });
    };
    try {
        recorder->start(allowed);
    } catch (const std::exception& error) {
        setMessage(QString::fromStdString(error.what()));
        return;
    }

    recorder_ = std::move(recorder);
    const auto& name = recorder_->microphoneName();
    setMicrophoneName(name ? QString::fromStdString(*name) : QString());
    if (!allowed) {
        setMessage(QStringLiteral("Microfono non autorizzato: registro solo l'audio della chiamata."));
    } else if (!name) {
        setMessage(QStringLiteral("Nessun microfono trovato: registro solo l'audio della chiamata."));
    }
    setIsRecording(true);
    setCallEndedSuggestion(false);
    const TimePoint now = clock_->now();
    startedAt_ = now;
    setElapsed(0);
    lastCallAppSeenAt_ = callAppsSeen_.empty() ? std::nullopt : std::optional<TimePoint>(now);
    meterTimer_ = clock_->repeat(meterInterval, [self] {
        if (self) {
            self->tick();
        }
    });
    refreshOverlay();
}

void RecorderModel::tick() {
    if (!startedAt_ || !recorder_) {
        return;
    }
    setElapsed(secondsBetween(*startedAt_, clock_->now()));
    if (const auto& meter = recorder_->meter()) {
        const LevelMeter::Levels levels = meter->levels();
        setMicLevel(levels.mic);
        setSystemLevel(levels.system);
    }
}

void RecorderModel::handle(const CallRecorder::Event& event) {
    if (const auto* changed = std::get_if<CallRecorder::MicrophoneChanged>(&event)) {
        setMicrophoneName(changed->name ? QString::fromStdString(*changed->name) : QString());
        return;
    }
    const auto& failure = std::get<CallRecorder::Failure>(event);
    // The engine has already stopped and closed the file: what was written stays available.
    if (recorder_) {
        setLastFile(QString::fromStdString(recorder_->outputURL().string()));
    }
    finish();
    setMessage(QString::fromStdString(failure.message));
}

void RecorderModel::stop() {
    if (!recorder_) {
        return;
    }
    const double sinceStart = startedAt_ ? secondsBetween(*startedAt_, clock_->now()) : 0;
    const float gain = recorder_->meter() ? recorder_->meter()->micGain() : 1.0f;
    const int restarts = recorder_->restartCount();
    const std::filesystem::path output = recorder_->outputURL();
    if (sinceStart < std::chrono::duration<double>(finishInBackgroundAfter).count()) {
        const CallRecorder::Stats stats = recorder_->stop();
        finish();
        saved(output, stats, sinceStart, restarts, gain);
        return;
    }

    // Finishing a long call's file takes seconds: the panels and the menu stay alive meanwhile. The file
    // stays the crash-safe fragmented one until the finished copy replaces it.
    std::unique_ptr<CallRecorder> recorder = std::move(recorder_);
    recorder->onEvent = nullptr;
    CallRecorder* finishing = recorder.get();
    finishing_.push_back(std::move(recorder));
    finish();
    setMessage(QStringLiteral("Salvataggio in corso…"));
    Diagnostics::log("Salvataggio in corso: " + output.filename().string());
    QPointer<RecorderModel> self(this);
    finishing->stopInBackground(
        [self, finishing, output, sinceStart, restarts, gain](const CallRecorder::Stats& stats) {
            if (!self) {
                return;
            }
            const auto owned = std::find_if(self->finishing_.begin(), self->finishing_.end(),
                                            [finishing](const auto& r) { return r.get() == finishing; });
            if (owned != self->finishing_.end()) {
                owned->release()->deleteLater(); // this runs inside one of the recorder's own calls
                self->finishing_.erase(owned);
            }
            self->saved(output, stats, sinceStart, restarts, gain);
        });
}

void RecorderModel::saved(const std::filesystem::path& output, const CallRecorder::Stats& stats,
                          double sinceStart, int restarts, float gain) {
    // asprintf formats numbers the same in every locale.
    Diagnostics::log(
        QString::asprintf("Stop: %.2f s scritti, %.2f s dall'avvio, riavvii %d, guadagno voce %.1f",
                          stats.seconds, sinceStart, restarts, static_cast<double>(gain))
            .toStdString());
    setLastFile(QString::fromStdString(output.string()));
    setMessage(QStringLiteral("Salvata: ") + QString::fromStdString(output.filename().string()));
    if (pendingUpdateNotice_) {
        const QString version = *pendingUpdateNotice_;
        pendingUpdateNotice_.reset();
        announceUpdate(version);
    }
}

void RecorderModel::finish() {
    meterTimer_.reset();
    recorder_.reset();
    setIsRecording(false);
    startedAt_.reset();
    setCallEndedSuggestion(false);
    setMicLevel(0);
    setSystemLevel(0);
    refreshOverlay();
}

void RecorderModel::refreshOverlay() {
    if (views_ == nullptr) {
        return;
    }
    if (isRecording_ && showOverlay_) {
        views_->showRecordingPanel();
    } else {
        views_->hideRecordingPanel();
    }
}

// ----- menu actions -----

void RecorderModel::openFolder() {
    const std::filesystem::path folder = recordingsDirectory_();
    try {
        PrivateFiles::createFolders(folder);
    } catch (const PrivateFiles::FileError& error) {
        Diagnostics::log(error.what()); // the file manager then shows what is missing
    }
    services_->openLocation(QUrl::fromLocalFile(QString::fromStdString(folder.string())));
}

void RecorderModel::revealLastFile() {
    if (!lastFile_.isEmpty()) {
        services_->revealFile(lastFile_.toStdString());
    }
}

void RecorderModel::openMicrophoneSettings() {
    services_->openSoundSettings();
}

void RecorderModel::openFeedback() {
    if (views_ != nullptr) {
        views_->openFeedback(microphoneName_.isEmpty() ? std::nullopt
                                                       : std::optional<QString>(microphoneName_));
    }
}

// ----- call watch and notices -----

void RecorderModel::pollCalls() {
    const std::vector<MicrophoneClient> clients = CallDetector::microphoneClients();
    const std::vector<std::string> calls = CallDetector::callApps(clients, static_cast<int32_t>(getpid()));
    const TimePoint now = clock_->now();
    for (const std::string& app : calls) {
        callAppsSeen_.try_emplace(app, now);
    }
    for (auto it = callAppsSeen_.begin(); it != callAppsSeen_.end();) {
        if (std::find(calls.begin(), calls.end(), it->first) == calls.end()) {
            promptedApps_.erase(it->first);
            it = callAppsSeen_.erase(it);
        } else {
            ++it;
        }
    }

    if (isRecording_) {
        if (!calls.empty()) {
            lastCallAppSeenAt_ = now;
            setCallEndedSuggestion(false);
            return;
        }
        if (lastCallAppSeenAt_ && now - *lastCallAppSeenAt_ > suggestStopAfter && !callEndedSuggestion_) {
            setCallEndedSuggestion(true);
            // With the panel on screen, the panel itself shows the suggestion.
            if (!showOverlay_) {
                showCallEndedNotice();
            }
        }
        return;
    }

    if (noticeKind_ == callKind && calls.empty()) {
        closeNotice();
    }
    if (!proposeOnCall_ || !noticeKind_.isEmpty()) {
        return;
    }
    for (const std::string& app : calls) {
        if (promptedApps_.contains(app)) {
            continue;
        }
        const auto seen = callAppsSeen_.find(app);
        const TimePoint firstSeen = seen != callAppsSeen_.end() ? seen->second : now;
        // The watch's own timer may fire a little early or late, so two polls meant to be 4 s apart can
        // measure 3.9 s: half a watch interval of slack keeps the offer on the poll that ends the 4 s.
        if (now - firstSeen + callWatchInterval / 2 >= offerAfter) {
            promptedApps_.insert(app);
            // One of its processes helps to find the application it belongs to.
            const auto client = std::find_if(clients.begin(), clients.end(), [&](const MicrophoneClient& c) {
                return CallDetector::normalize(c.bundleID) == app;
            });
            showCallNotice(displayName(app, *services_, client != clients.end() ? client->pid : 0));
            return;
        }
    }
}

void RecorderModel::showNotice(const QString& kind, const Notice& notice) {
    setNoticeKind(kind);
    if (views_ != nullptr) {
        views_->showNotice(notice);
    }
}

void RecorderModel::closeNotice() {
    if (noticeKind_.isEmpty()) {
        return;
    }
    setNoticeKind(QString());
    if (views_ != nullptr) {
        views_->closeNotice();
    }
}

void RecorderModel::showCallNotice(const QString& appName) {
    Diagnostics::log("Chiamata rilevata: " + appName.toStdString());
    QPointer<RecorderModel> self(this);
    Notice notice{
        QStringLiteral("phone.fill"),
        QStringLiteral("red"),
        QStringLiteral("Chiamata in corso su ") + appName,
        QStringLiteral("Vuoi registrarla? Registro la tua voce e quella delle altre persone in un file."),
        QStringLiteral("Registra"),
        QStringLiteral("Non ora"),
        [self] {
            if (self) {
                self->closeNotice();
                self->later([](RecorderModel& model) { model.start(); });
            }
        },
        [self] {
            if (self) {
                self->closeNotice();
            }
        }};
    showNotice(callKind, notice);
    // Closes whatever call notice is showing by then, even one shown later for another application.
    clock_->once(callNoticeTimeout, [self] {
        if (self && self->noticeKind_ == callKind) {
            self->closeNotice();
        }
    });
}

void RecorderModel::showCallEndedNotice() {
    QPointer<RecorderModel> self(this);
    showNotice(endedKind, Notice{QStringLiteral("phone.down.fill"), QStringLiteral("orange"),
                                 QStringLiteral("La chiamata sembra finita"),
                                 QStringLiteral("Quillora sta ancora registrando."),
                                 QStringLiteral("Ferma e salva"), QStringLiteral("Continua"),
                                 [self] {
                                     if (self) {
                                         self->closeNotice();
                                         self->stop();
                                     }
                                 },
                                 [self] {
                                     if (self) {
                                         self->closeNotice();
                                         self->dismissCallEndedSuggestion();
                                     }
                                 }});
}

void RecorderModel::dismissCallEndedSuggestion() {
    setCallEndedSuggestion(false);
    lastCallAppSeenAt_.reset();
}

Notice RecorderModel::updateNotice(const QString& version) const {
    return Notice{QStringLiteral("arrow.down.circle.fill"),
                  QStringLiteral("blue"),
                  QStringLiteral("Aggiornamento disponibile"),
                  QStringLiteral("È pronta Quillora ") + version +
                      QStringLiteral(". L'installazione richiede pochi secondi e l'app si riapre da sola."),
                  QStringLiteral("Aggiorna ora"),
                  QStringLiteral("Più tardi"),
                  {},
                  {}};
}

void RecorderModel::announceUpdate(const QString& version) {
    if (isRecording_) {
        pendingUpdateNotice_ = version;
        return;
    }
    QPointer<RecorderModel> self(this);
    Notice notice = updateNotice(version);
    notice.primary = [self] {
        if (!self) {
            return;
        }
        self->closeNotice();
        if (self->views_ != nullptr) {
            self->views_->activateApplication();
        }
        if (self->updates_ != nullptr) {
            self->updates_->controller().checkForUpdates();
        }
    };
    notice.secondary = [self] {
        if (self) {
            self->closeNotice();
        }
    };
    showNotice(updateKind, notice);
    services_->playAlertSound();
}

QString RecorderModel::displayName(const std::string& identifier, PlatformServices& services, int32_t pid) {
    if (const auto installed = services.applicationName(identifier, pid)) {
        return *installed;
    }
    return DesktopEntries::tidyProgramName(QString::fromStdString(identifier));
}

void RecorderModel::showDemo() {
    setIsRecording(true);
    setElapsed(768.0);
    setMicrophoneName(QStringLiteral("Microfono MacBook Air"));
    setMicLevel(0.72f);
    setSystemLevel(0.81f);
    refreshOverlay();
    showCallNotice(QStringLiteral("WhatsApp"));
    QPointer<RecorderModel> self(this);
    clock_->once(demoNoticeDelay, [self] {
        if (self && self->views_ != nullptr) {
            Notice notice = self->updateNotice(QStringLiteral("0.3.0"));
            notice.primary = [] {};
            notice.secondary = [] {};
            self->views_->showDemoNotice(notice);
        }
    });
}

// ----- published values -----

void RecorderModel::setIsRecording(bool value) {
    if (value != isRecording_) {
        isRecording_ = value;
        emit isRecordingChanged(value);
    }
}

void RecorderModel::setElapsed(double value) {
    if (value != elapsed_) {
        elapsed_ = value;
        emit elapsedChanged(value);
    }
}

void RecorderModel::setMicrophoneName(const QString& value) {
    if (value != microphoneName_ || value.isNull() != microphoneName_.isNull()) {
        microphoneName_ = value;
        emit microphoneNameChanged(value);
    }
}

void RecorderModel::setMessage(const QString& value) {
    if (value != message_ || value.isNull() != message_.isNull()) {
        message_ = value;
        emit messageChanged(value);
    }
}

void RecorderModel::setLastFile(const QString& value) {
    if (value != lastFile_) {
        lastFile_ = value;
        emit lastFileChanged(value);
    }
}

void RecorderModel::setMicLevel(float value) {
    if (value != micLevel_) {
        micLevel_ = value;
        emit micLevelChanged(value);
    }
}

void RecorderModel::setSystemLevel(float value) {
    if (value != systemLevel_) {
        systemLevel_ = value;
        emit systemLevelChanged(value);
    }
}

void RecorderModel::setCallEndedSuggestion(bool value) {
    if (value != callEndedSuggestion_) {
        callEndedSuggestion_ = value;
        emit callEndedSuggestionChanged(value);
    }
}

void RecorderModel::setNoticeKind(const QString& value) {
    if (value != noticeKind_) {
        noticeKind_ = value;
        emit noticeKindChanged(value);
    }
}
