#include "Quillora/Services/Updater.h"

#include "Quillora/Services/AppInfo.h"
#include "Quillora/Services/WebAccess.h"

#include <QCoreApplication>
#include <QPointer>

Updater::Updater(UpdaterDelegate& delegate, Schedule schedule, QObject* parent)
    : QObject(parent), delegate_(delegate), schedule_(std::move(schedule)) {
    relaunch = [](const QString& program) {
        UpdateInstaller::relaunchAfterExit(program);
        if (QCoreApplication* app = QCoreApplication::instance(); app != nullptr) {
            QMetaObject::invokeMethod(app, &QCoreApplication::quit, Qt::QueuedConnection);
        }
    };
    pollTimer_.setInterval(schedule_.pollInterval);
    connect(&pollTimer_, &QTimer::timeout, this, &Updater::poll);
}

void Updater::start() {
    lastCheck_ = schedule_.now();
    pollTimer_.start();
}

void Updater::poll() {
    const QDateTime now = schedule_.now();
    if (now < lastCheck_) {
        lastCheck_ = now; // the clock was set back: count the interval from here
    }
    if (lastCheck_.msecsTo(now) >= schedule_.checkInterval.count()) {
        checkForUpdatesInBackground();
    }
}

QString Updater::feedURLString() const {
    if (const std::optional<QString> override = delegate_.feedURLString(); override && !override->isEmpty()) {
        return *override;
    }
    return AppInfo::feedURLString();
}

void Updater::checkForUpdates() {
    switch (state_) {
    case State::idle:
        beginCheck(true);
        break;
    case State::checking:
        userInitiated_ = true; // the check under way answers in a dialog
        break;
    case State::heldForOwner:
        showHeld();
        break;
    case State::showing:
    case State::installing:
        break; // its dialog is already up
    }
}

void Updater::checkForUpdatesInBackground() {
    // While the owner holds an announced update, checks go on, so that a later release replaces it.
    if (state_ == State::idle || state_ == State::heldForOwner) {
        beginCheck(false);
    }
}

void Updater::beginCheck(bool userInitiated) {
    state_ = State::checking;
    userInitiated_ = userInitiated;
    lastCheck_ = schedule_.now();

    const QString feedText = feedURLString();
    if (feedText.isEmpty()) {
        endWithError(QStringLiteral("nessun indirizzo per il feed degli aggiornamenti"));
        return;
    }
    const WebAccess::Address feed = WebAccess::check(feedText);
    if (!feed.usable()) {
        endWithError(QStringLiteral("indirizzo del feed non utilizzabile: %1").arg(feed.problem));
        return;
    }
    emit checkStarted(feed.url);

    WebAccess::Exchange exchange;
    exchange.request.setUrl(feed.url);
    exchange.request.setRawHeader("Accept", "application/rss+xml, application/xml;q=0.9, text/xml;q=0.8");
    exchange.request.setHeader(QNetworkRequest::UserAgentHeader,
                               QStringLiteral("Quillora/%1 (Linux)").arg(AppInfo::version()));
    exchange.maxBody = Appcast::maxBytes;
    exchange.timeout = std::chrono::seconds(30);
    WebAccess::send(std::move(exchange), this, [this](WebAccess::Response response) {
        if (response.tooLarge) {
            checkFinished(QStringLiteral("il feed è troppo grande (oltre %1 byte)").arg(Appcast::maxBytes),
                          {});
        } else if (!response.failure.isEmpty()) {
            checkFinished(QStringLiteral("feed non raggiungibile: %1").arg(response.failure), {});
        } else if (response.status != 200) {
            checkFinished(QStringLiteral("il server del feed ha risposto con lo stato %1")
                              .arg(response.status.value_or(0)),
                          {});
        } else {
            checkFinished({}, response.body);
        }
    });
}

void Updater::checkFinished(const QString& failure, const QByteArray& feed) {
    if (!failure.isEmpty()) {
        endWithError(failure);
        return;
    }
    const Appcast::Parsed parsed = Appcast::parse(feed);
    if (!parsed.accepted()) {
        endWithError(QStringLiteral("feed rifiutato: %1").arg(parsed.problem));
        return;
    }
    const std::optional<AppcastItem> update = Appcast::newestUpdate(parsed.items, AppInfo::build());
    if (update && held_ && Appcast::compareVersions(update->version, held_->version) <= 0) {
        // Already announced: the user's own check shows it, a quiet one leaves it with the owner.
        if (userInitiated_) {
            showHeld();
        } else {
            state_ = State::heldForOwner;
        }
        return;
    }
    if (!update) {
        const QString installed = AppInfo::version();
        delegate_.didAbortWithError(
            QStringLiteral("nessun aggiornamento disponibile (installata la %1)").arg(installed));
        if (userInitiated_ && dialogs_ != nullptr) {
            state_ = State::showing;
            dialogs_->showUpToDate(installed, finishOnDismiss());
        } else {
            finishSession();
        }
        return;
    }

    delegate_.didFindValidUpdate(*update);
    const bool showItself = userInitiated_ || !delegate_.supportsGentleScheduledUpdateReminders() ||
                            delegate_.shouldHandleShowingScheduledUpdate(*update, false);
    state_ = showItself ? State::showing : State::heldForOwner;
    held_.reset();
    if (!showItself) {
        held_ = update;
    }
    delegate_.willHandleShowingUpdate(showItself, *update);
    if (showItself) {
        present(*update);
    }
}

void Updater::endWithError(const QString& description) {
    delegate_.didAbortWithError(description);
    if (held_ && userInitiated_) {
        showHeld(); // a failed re-check leaves the announced update as it was
    } else if (held_) {
        state_ = State::heldForOwner;
    } else if (userInitiated_ && dialogs_ != nullptr) {
        state_ = State::showing;
        dialogs_->showCheckFailed(description, finishOnDismiss());
    } else {
        finishSession();
    }
}

void Updater::showHeld() {
    const AppcastItem update = *held_;
    held_.reset();
    state_ = State::showing;
    delegate_.willHandleShowingUpdate(true, update);
    present(update);
}

std::function<void()> Updater::finishOnDismiss() {
    QPointer<Updater> self(this);
    return [self] {
        if (self) {
            self->finishSession();
        }
    };
}

void Updater::present(const AppcastItem& update) {
    if (dialogs_ == nullptr) {
        finishSession(); // nowhere to show it: the session ends at once
        return;
    }
    QPointer<Updater> self(this);
    dialogs_->showUpdateFound(update, [self, update](UpdateDialogs::Choice choice) {
        if (!self) {
            return;
        }
        if (choice == UpdateDialogs::Choice::install) {
            self->install(update);
        } else {
            self->finishSession();
        }
    });
}

void Updater::install(const AppcastItem& update) {
    state_ = State::installing;
    if (dialogs_ != nullptr) {
        dialogs_->showProgress(0, 0);
    }
    QPointer<Updater> self(this);
    installer_.start(
        update,
        [self](qint64 received, qint64 total) {
            if (self && self->dialogs_ != nullptr) {
                self->dialogs_->showProgress(received, total);
            }
        },
        [self] {
            if (self && self->dialogs_ != nullptr) {
                self->dialogs_->showWaitingForRecording();
            }
        },
        [self, update](UpdateInstaller::Result result) {
            if (!self) {
                return;
            }
            self->delegate_.didFinishInstalling(update, result.problem);
            if (result.problem.isEmpty()) {
                self->finishSession();
                if (self) {
                    self->relaunchWhenAllowed(result.program);
                }
            } else if (self->dialogs_ != nullptr) {
                self->dialogs_->showInstallFailed(result.problem, self->finishOnDismiss());
            } else {
                self->finishSession();
            }
        });
}

void Updater::relaunchWhenAllowed(const QString& program) {
    // A recording started while the package was being installed ends before the program does.
    if (installer_.mayInstallNow && !installer_.mayInstallNow()) {
        QTimer::singleShot(std::chrono::seconds(1), this, [this, program] { relaunchWhenAllowed(program); });
    } else if (relaunch) {
        relaunch(program);
    }
}

void Updater::finishSession() {
    state_ = State::idle;
    held_.reset();
    userInitiated_ = false;
    delegate_.willFinishUpdateSession();
}
