#pragma once

#include "Quillora/Services/Updater.h"

#include <QObject>
#include <QString>
#include <chrono>
#include <functional>
#include <memory>

// Connects the program to its updater: starts it with its daily checks and a first quiet check shortly
// after launch, lets the "QuilloraFeedOverride" preference replace the feed address, logs what the checks
// find, publishes the version of an update waiting to be installed, and leaves the announcement of
// updates found by scheduled checks to the application (`onUpdateFound`), which shows its own notice.
class UpdateManager : public QObject, private UpdaterDelegate {
    Q_OBJECT
    // The display version of an update about to be presented or waiting for the user; empty when none.
    Q_PROPERTY(QString availableVersion READ availableVersion NOTIFY availableVersionChanged)

public:
    struct Options {
        std::chrono::milliseconds firstCheckDelay = std::chrono::seconds(5);
        Updater::Schedule schedule;
    };

    // The program's one instance, created on first use (the application object must exist) and owned by
    // the application object.
    static UpdateManager& shared();

    explicit UpdateManager(Options options, QObject* parent = nullptr);
    ~UpdateManager() override;

    QString availableVersion() const { return availableVersion_; }

    // Called with the display version when the application is to announce an update itself.
    std::function<void(const QString&)> onUpdateFound;

    // Whether a recording runs: an update is never installed meanwhile, it waits for the end.
    void setRecordingInProgress(std::function<bool()> recording);

    // The updater: the menu's and the notice's "update" actions call controller().checkForUpdates().
    Updater& controller() { return *controller_; }

signals:
    void availableVersionChanged(const QString& version);

private:
    void setAvailableVersion(const QString& version);

    // UpdaterDelegate
    std::optional<QString> feedURLString() override;
    void didFindValidUpdate(const AppcastItem& update) override;
    void didAbortWithError(const QString& description) override;
    bool supportsGentleScheduledUpdateReminders() override { return true; }
    bool shouldHandleShowingScheduledUpdate(const AppcastItem&, bool) override { return false; }
    void willHandleShowingUpdate(bool handleShowingUpdate, const AppcastItem& update) override;
    void willFinishUpdateSession() override;
    void didFinishInstalling(const AppcastItem& update, const QString& problem) override;

    QString availableVersion_;
    std::unique_ptr<Updater> controller_;
};
