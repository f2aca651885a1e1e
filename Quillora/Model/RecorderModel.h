#pragma once

#include "Quillora/Model/ModelClock.h"
#include "Quillora/Services/PlatformServices.h"
#include "QuilloraCore/CallRecorder.h"

#include <QObject>
#include <QSettings>
#include <QString>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

class UpdateManager;

// One floating notice: what it shows and what its two buttons do.
struct Notice {
    QString icon; // symbol name, e.g. "phone.fill"
    QString tint; // standard colour name: "red", "orange", "blue"
    QString title;
    QString message;
    QString primaryTitle;
    QString secondaryTitle;
    std::function<void()> primary;
    std::function<void()> secondary;
};

// The windows the model drives. The graphical application plugs its panels in; without views (headless,
// tests) the model runs the same and simply shows nothing.
class RecorderViews {
public:
    virtual ~RecorderViews() = default;

    // The recording panel, created on first need and then reused; hiding keeps it for later.
    virtual void showRecordingPanel() = 0;
    virtual void hideRecordingPanel() = 0;
    // Shows `notice` in a new notice panel (remembered as "QuilloraNotice"), replacing the one shown.
    virtual void showNotice(const Notice& notice) = 0;
    virtual void closeNotice() = 0;
    // The demonstration's extra update notice: its own panel ("QuilloraDemoUpdate") 80 px from the left and
    // 120 px from the bottom of the screen, kept alive for the rest of the run and independent of the current
    // notice.
    virtual void showDemoNotice(const Notice& notice) = 0;
    // Shows the feedback window, creating it with `microphone` when none is open; an open one is reused.
    virtual void openFeedback(const std::optional<QString>& microphone) = 0;
    // Brings the application to the front.
    virtual void activateApplication() = 0;
};

// The graphical application's one model: starts and stops the recording, publishes what the menu and the
// panels show, keeps the two preferences, watches for calls and offers to record them, suggests stopping
// when the call seems over, and announces updates. Main thread only.
class RecorderModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool isRecording READ isRecording NOTIFY isRecordingChanged)
    Q_PROPERTY(double elapsed READ elapsed NOTIFY elapsedChanged)
    Q_PROPERTY(QString elapsedText READ elapsedText NOTIFY elapsedChanged)
    // Empty when no microphone is in use.
    Q_PROPERTY(QString microphoneName READ microphoneName NOTIFY microphoneNameChanged)
    // Null when there is no status line.
    Q_PROPERTY(QString message READ message NOTIFY messageChanged)
    // Empty until the first recording ends.
    Q_PROPERTY(QString lastFile READ lastFile NOTIFY lastFileChanged)
    Q_PROPERTY(float micLevel READ micLevel NOTIFY micLevelChanged)
    Q_PROPERTY(float systemLevel READ systemLevel NOTIFY systemLevelChanged)
    Q_PROPERTY(bool callEndedSuggestion READ callEndedSuggestion NOTIFY callEndedSuggestionChanged)
    Q_PROPERTY(bool showOverlay READ showOverlay WRITE setShowOverlay NOTIFY showOverlayChanged)
    Q_PROPERTY(bool proposeOnCall READ proposeOnCall WRITE setProposeOnCall NOTIFY proposeOnCallChanged)
    // "call", "ended", "update", or empty when no notice is shown.
    Q_PROPERTY(QString noticeKind READ noticeKind NOTIFY noticeKindChanged)

public:
    static constexpr std::chrono::milliseconds callWatchInterval{2000};
    static constexpr std::chrono::milliseconds meterInterval{100};
    static constexpr std::chrono::milliseconds offerAfter{4000}; // a call app present this long is offered
    static constexpr std::chrono::milliseconds suggestStopAfter{6000}; // strictly more than this without one
    static constexpr std::chrono::milliseconds callNoticeTimeout{30000};
    static constexpr std::chrono::milliseconds demoNoticeDelay{100};
    // Recordings at least this long are finished off the main thread ("Salvataggio in corso…" meanwhile):
    // their files take more than a tenth of a second to finish.
    static constexpr std::chrono::minutes finishInBackgroundAfter{5};

    struct Options {
        std::unique_ptr<ModelClock> clock;          // none: the system clock
        std::unique_ptr<PlatformServices> services; // none: the desktop
        // Where recordings go, asked at every start; none: FileNaming::defaultDirectory.
        std::function<std::filesystem::path()> recordingsDirectory;
        // Announces its updates through the model and runs the "update" notice's check; may be none.
        UpdateManager* updates = nullptr;
    };

    // The program's one instance, created on first use (the application object must exist) with the
    // system clock, the desktop services and the shared update manager, and owned by the application object.
    static RecorderModel& shared();

    explicit RecorderModel(Options options, QObject* parent = nullptr);
    ~RecorderModel() override;

    // Not owned; may be null. The views must outlive the model or be unset first.
    void setViews(RecorderViews* views);

    bool isRecording() const { return isRecording_; }
    double elapsed() const { return elapsed_; }
    QString elapsedText() const;
    QString microphoneName() const { return microphoneName_; }
    QString message() const { return message_; }
    QString lastFile() const { return lastFile_; }
    float micLevel() const { return micLevel_; }
    float systemLevel() const { return systemLevel_; }
    bool callEndedSuggestion() const { return callEndedSuggestion_; }
    bool showOverlay() const { return showOverlay_; }
    void setShowOverlay(bool show);
    bool proposeOnCall() const { return proposeOnCall_; }
    void setProposeOnCall(bool propose);
    QString noticeKind() const { return noticeKind_; }
    // True between a start request and the microphone permission's answer.
    bool isAwaitingPermission() const { return awaitingPermission_; }

    // Recording control.
    void toggle();
    // Returns at once; the recording starts once the microphone permission is answered. Refused while a
    // recording runs or another start waits for its permission answer.
    void start();
    void stop();
    // One engine event, as the recorder reports it.
    void handle(const CallRecorder::Event& event);

    // Menu actions.
    void openFolder();
    void revealLastFile();
    void openMicrophoneSettings();
    void openFeedback();

    // One step of the call watch (the 2 s timer runs it).
    void pollCalls();
    void closeNotice();
    // "Continua" after the end-of-call suggestion: drops the suggestion and forgets when a call
    // application was last seen, so the suggestion waits for the next call.
    void dismissCallEndedSuggestion();
    // Shows the "update" notice for `version`, or keeps it for the end of the running recording.
    void announceUpdate(const QString& version);
    void showDemo();

    // The name shown for an application identifier (`pid`, 0 when unknown, is one of its processes): the
    // installed application's own name, else a tidy form of the identifier's last dot-separated piece.
    static QString displayName(const std::string& identifier, PlatformServices& services, int32_t pid = 0);

signals:
    void isRecordingChanged(bool recording);
    void elapsedChanged(double seconds);
    void microphoneNameChanged(const QString& name);
    void messageChanged(const QString& message);
    void lastFileChanged(const QString& file);
    void micLevelChanged(float level);
    void systemLevelChanged(float level);
    void callEndedSuggestionChanged(bool suggested);
    void showOverlayChanged(bool show);
    void proposeOnCallChanged(bool propose);
    void noticeKindChanged(const QString& kind);

private:
    using TimePoint = ModelClock::TimePoint;

    void continueStart(bool allowed);
    void tick();
    void finish();
    void saved(const std::filesystem::path& output, const CallRecorder::Stats& stats, double sinceStart,
               int restarts, float gain);
    void refreshOverlay();
    void showNotice(const QString& kind, const Notice& notice);
    void showCallNotice(const QString& appName);
    void showCallEndedNotice();
    Notice updateNotice(const QString& version) const;
    // Runs `body` on the main thread after the current work, if the model still exists.
    void later(std::function<void(RecorderModel&)> body);

    void setIsRecording(bool value);
    void setElapsed(double value);
    void setMicrophoneName(const QString& value);
    void setMessage(const QString& value);
    void setLastFile(const QString& value);
    void setMicLevel(float value);
    void setSystemLevel(float value);
    void setCallEndedSuggestion(bool value);
    void setNoticeKind(const QString& value);

    bool isRecording_ = false;
    double elapsed_ = 0;
    QString microphoneName_;
    QString message_;
    QString lastFile_;
    float micLevel_ = 0;
    float systemLevel_ = 0;
    bool callEndedSuggestion_ = false;
    bool showOverlay_ = true;
    bool proposeOnCall_ = true;

    QSettings preferences_;
    std::unique_ptr<ModelClock> clock_;
    std::unique_ptr<PlatformServices> services_;
    std::function<std::filesystem::path()> recordingsDirectory_;
    UpdateManager* updates_ = nullptr;
    RecorderViews* views_ = nullptr;

    bool awaitingPermission_ = false;
    std::optional<TimePoint> startedAt_;
    std::unique_ptr<ModelTimer> meterTimer_;
    std::unique_ptr<ModelTimer> callTimer_;
    std::map<std::string, TimePoint> callAppsSeen_;
    std::set<std::string> promptedApps_;
    std::optional<TimePoint> lastCallAppSeenAt_;
    QString noticeKind_;
    std::optional<QString> pendingUpdateNotice_;
    // Which recorder an event came from: events of a recorder already released are dropped.
    uint64_t recorderGeneration_ = 0;
    // Stopped recorders whose files are still being finished; destroying one waits for its file.
    std::vector<std::unique_ptr<CallRecorder>> finishing_;
    std::unique_ptr<CallRecorder> recorder_; // last, so it goes first
};
