#include "Quillora/Services/UpdateManager.h"

#include "QuilloraCore/Diagnostics.h"

#include <QCoreApplication>
#include <QPointer>
#include <QSettings>
#include <QTimer>

UpdateManager& UpdateManager::shared() {
    static QPointer<UpdateManager> instance;
    if (instance.isNull()) {
        QCoreApplication* app = QCoreApplication::instance();
        Q_ASSERT(app != nullptr);
        // Owned by the application object: it lives as long as the program's event loop.
        instance = new UpdateManager(Options{}, app);
    }
    return *instance;
}

UpdateManager::UpdateManager(Options options, QObject* parent)
    : QObject(parent), controller_(std::make_unique<Updater>(static_cast<UpdaterDelegate&>(*this),
                                                             std::move(options.schedule))) {
    controller_->start();
    // The timer belongs to this object: once it is gone, the check does not happen.
    QTimer::singleShot(options.firstCheckDelay, this, [this] { controller_->checkForUpdatesInBackground(); });
}

// The updater goes first: it must not call back into a half-destroyed delegate.
UpdateManager::~UpdateManager() {
    controller_.reset();
}

void UpdateManager::setAvailableVersion(const QString& version) {
    if (version != availableVersion_) {
        availableVersion_ = version;
        emit availableVersionChanged(availableVersion_);
    }
}

std::optional<QString> UpdateManager::feedURLString() {
    const QSettings preferences(QStringLiteral("Tandrevel"), QStringLiteral("Quillora"));
    const QVariant value = preferences.value(QStringLiteral("QuilloraFeedOverride"));
    if (value.typeId() != QMetaType::QString) {
        return std::nullopt;
    }
    return value.toString();
}

void UpdateManager::didFindValidUpdate(const AppcastItem& update) {
    Diagnostics::log("Aggiornamento trovato: " + update.displayVersion.toStdString());
}

void UpdateManager::didAbortWithError(const QString& description) {
    Diagnostics::log("Controllo aggiornamenti: " + description.toStdString());
}

void UpdateManager::willHandleShowingUpdate(bool handleShowingUpdate, const AppcastItem& update) {
    // Published state changes on the main thread only; the updater calls from there already.
    QMetaObject::invokeMethod(this, [this, handleShowingUpdate, version = update.displayVersion] {
        setAvailableVersion(version);
        if (!handleShowingUpdate && onUpdateFound) {
            onUpdateFound(version);
        }
    });
}

void UpdateManager::setRecordingInProgress(std::function<bool()> recording) {
    controller_->installer().mayInstallNow = [recording = std::move(recording)] { return !recording(); };
}

void UpdateManager::didFinishInstalling(const AppcastItem& update, const QString& problem) {
    if (problem.isEmpty()) {
        Diagnostics::log("Aggiornamento installato: " + update.displayVersion.toStdString());
    } else {
        Diagnostics::log("Installazione dell'aggiornamento non riuscita: " + problem.toStdString());
    }
}

void UpdateManager::willFinishUpdateSession() {
    QMetaObject::invokeMethod(this, [this] { setAvailableVersion(QString()); });
}
