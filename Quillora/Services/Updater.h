#pragma once

#include "Quillora/Services/Appcast.h"
#include "Quillora/Services/UpdateInstaller.h"

#include <QDateTime>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QUrl>
#include <chrono>
#include <functional>
#include <optional>

// What the updater asks and tells its owner. Every call comes on the updater's (the main) thread.
class UpdaterDelegate {
public:
    virtual ~UpdaterDelegate() = default;

    // The feed address to use instead of the one in Info.ini, if any.
    virtual std::optional<QString> feedURLString() = 0;
    // A check found a release newer than the installed one.
    virtual void didFindValidUpdate(const AppcastItem& update) = 0;
    // A check ended without an update to show: up to date, feed refused, network failure...
    virtual void didAbortWithError(const QString& description) = 0;
    // Whether the owner can announce an update found by a scheduled check on its own.
    virtual bool supportsGentleScheduledUpdateReminders() = 0;
    // For an update found by a scheduled check: true when the updater is to show it in its own dialog.
    virtual bool shouldHandleShowingScheduledUpdate(const AppcastItem& update, bool immediateFocus) = 0;
    // An update is about to be presented; `handleShowingUpdate` says whether the updater shows it itself
    // (false: the owner announces it, and a later user-initiated check shows it).
    virtual void willHandleShowingUpdate(bool handleShowingUpdate, const AppcastItem& update) = 0;
    // The update session is over: the user dealt with the update, or there was none to deal with.
    virtual void willFinishUpdateSession() = 0;
    // An installation the user asked for ended: `problem` is empty when the update is installed.
    virtual void didFinishInstalling(const AppcastItem& update, const QString& problem) = 0;
};

// The updater's windows. The program plugs its message boxes in here; without them the updater only
// logs and reports to its delegate. Each `done` must be called once, on the updater's thread.
class UpdateDialogs {
public:
    enum class Choice { install, later };

    virtual ~UpdateDialogs() = default;

    // A newer release, with a button that installs it.
    virtual void showUpdateFound(const AppcastItem& update, std::function<void(Choice)> done) = 0;
    virtual void showUpToDate(const QString& installedVersion, std::function<void()> done) = 0;
    virtual void showCheckFailed(const QString& description, std::function<void()> done) = 0;
    // The installation is under way: `received` of `total` bytes downloaded; called again as it goes.
    virtual void showProgress(qint64 received, qint64 total) = 0;
    // The package is ready and waits for the recording to end before it is installed.
    virtual void showWaitingForRecording() = 0;
    // The installation failed and nothing was changed.
    virtual void showInstallFailed(const QString& description, std::function<void()> done) = 0;
};

// Checks the update feed, offers newer releases and, on the user's go-ahead, installs one through
// UpdateInstaller and starts the new version in place of this one.
//
// One update session at a time: a check, then, when it found a release, its presentation until the user
// has dealt with it. Scheduled checks run every `checkInterval` of wall-clock time (looked at every
// `pollInterval`, so that time spent suspended counts); a check the user asks for always runs and always
// answers in a dialog.
class Updater : public QObject {
    Q_OBJECT

public:
    struct Schedule {
        std::chrono::milliseconds checkInterval = std::chrono::hours(24);
        std::chrono::milliseconds pollInterval = std::chrono::hours(1);
        std::function<QDateTime()> now = [] { return QDateTime::currentDateTimeUtc(); };
    };

    // A request under way when the updater is destroyed is abandoned.
    Updater(UpdaterDelegate& delegate, Schedule schedule, QObject* parent = nullptr);

    // Starts the scheduled checks; the first one is due a full interval from now.
    void start();
    // A check the user asked for: shows its outcome in the dialogs. With an update already announced by
    // the owner, shows that one without checking again.
    void checkForUpdates();
    // A quiet check: only an update found is announced. Does nothing while a check runs or a dialog is
    // up; while the owner holds an announced update, only a newer release is announced (and replaces it),
    // and a feed that no longer offers anything newer than the installed build ends the session.
    void checkForUpdatesInBackground();

    // The dialogs stay the caller's; they must outlive the updater or be replaced with nullptr first.
    void setDialogs(UpdateDialogs* dialogs) { dialogs_ = dialogs; }

    bool sessionInProgress() const { return state_ != State::idle; }
    UpdateInstaller& installer() { return installer_; }
    // Starts the installed version and ends this one; by default after this process has ended.
    std::function<void(const QString& program)> relaunch;
    // The feed address in effect: the delegate's override, else Info.ini's.
    QString feedURLString() const;

signals:
    // A check has gone to the network for this address (useful to watch in tests and logs).
    void checkStarted(const QUrl& feed);

private:
    enum class State { idle, checking, showing, heldForOwner, installing };

    void beginCheck(bool userInitiated);
    void checkFinished(const QString& failure, const QByteArray& feed);
    void endWithError(const QString& description);
    void showHeld();
    void present(const AppcastItem& update);
    void install(const AppcastItem& update);
    void relaunchWhenAllowed(const QString& program);
    void finishSession();
    // What a dialog calls when it is dismissed: the session ends, if this updater still exists.
    std::function<void()> finishOnDismiss();
    void poll();

    UpdaterDelegate& delegate_;
    Schedule schedule_;
    UpdateInstaller installer_;
    QTimer pollTimer_;
    QDateTime lastCheck_;
    UpdateDialogs* dialogs_ = nullptr;
    State state_ = State::idle;
    bool userInitiated_ = false;
    std::optional<AppcastItem> held_; // announced by the owner, waiting for the user
};
