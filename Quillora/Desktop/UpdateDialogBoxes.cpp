#include "Quillora/Desktop/UpdateDialogBoxes.h"

#include "Quillora/Services/AppInfo.h"

#include <QApplication>
#include <QMessageBox>
#include <QProgressDialog>
#include <QPushButton>

namespace {

std::unique_ptr<QMessageBox> makeBox(const QString& text, const QString& informativeText) {
    auto box = std::make_unique<QMessageBox>();
    box->setWindowTitle(QStringLiteral("Quillora"));
    if (const QIcon icon = QApplication::windowIcon(); !icon.isNull()) {
        box->setIconPixmap(icon.pixmap(64));
    }
    box->setText(text);
    box->setInformativeText(informativeText);
    return box;
}

} // namespace

UpdateDialogBoxes::UpdateDialogBoxes(Updater* updater) : updater_(updater) {
    if (updater_) {
        updater_->setDialogs(this);
    }
}

UpdateDialogBoxes::~UpdateDialogBoxes() {
    if (updater_) {
        updater_->setDialogs(nullptr);
    }
    // Not inside a signal of the box here: it can go at once.
    box_.reset();
    progress_.reset();
    if (const std::function<void(QAbstractButton*)> answered = std::exchange(answered_, nullptr)) {
        answered(nullptr);
    }
}

void UpdateDialogBoxes::showUpdateFound(const AppcastItem& update, std::function<void(Choice)> done) {
    auto box = makeBox(QStringLiteral("È disponibile Quillora ") + update.displayVersion,
                       QStringLiteral("Hai la versione %1. L'installazione richiede pochi secondi e l'app si "
                                      "riapre da sola.")
                           .arg(AppInfo::version()));
    QPushButton* install = box->addButton(QStringLiteral("Aggiorna ora"), QMessageBox::AcceptRole);
    QPushButton* later = box->addButton(QStringLiteral("Più tardi"), QMessageBox::RejectRole);
    box->setDefaultButton(install);
    box->setEscapeButton(later);
    present(std::move(box), [install, done = std::move(done)](QAbstractButton* clicked) {
        done(clicked == install ? Choice::install : Choice::later);
    });
}

void UpdateDialogBoxes::showUpToDate(const QString& installedVersion, std::function<void()> done) {
    auto box = makeBox(QStringLiteral("Quillora è aggiornata"),
                       QStringLiteral("Hai l'ultima versione (%1).").arg(installedVersion));
    box->setStandardButtons(QMessageBox::Ok);
    present(std::move(box), [done = std::move(done)](QAbstractButton*) { done(); });
}

void UpdateDialogBoxes::showCheckFailed(const QString& description, std::function<void()> done) {
    auto box = makeBox(QStringLiteral("Non riesco a controllare gli aggiornamenti"),
                       QStringLiteral("Riprova più tardi. (") + description + QLatin1Char(')'));
    box->setStandardButtons(QMessageBox::Ok);
    present(std::move(box), [done = std::move(done)](QAbstractButton*) { done(); });
}

void UpdateDialogBoxes::showProgress(qint64 received, qint64 total) {
    if (!progress_) {
        progress_ = std::make_unique<QProgressDialog>();
        progress_->setWindowTitle(QStringLiteral("Quillora"));
        progress_->setCancelButton(nullptr);
        progress_->setMinimumDuration(0);
        progress_->setAutoClose(false);
        progress_->setAutoReset(false);
        progress_->setRange(0, 1000);
        progress_->show();
    }
    const bool downloaded = total > 0 && received >= total;
    progress_->setLabelText(downloaded ? QStringLiteral("Installazione dell'aggiornamento…")
                                       : QStringLiteral("Scaricamento dell'aggiornamento…"));
    progress_->setValue(total > 0 ? static_cast<int>(received * 1000 / total) : 0);
}

void UpdateDialogBoxes::showWaitingForRecording() {
    showProgress(1, 1);
    progress_->setLabelText(
        QStringLiteral("L'aggiornamento è pronto: lo installo al termine della registrazione."));
}

void UpdateDialogBoxes::showInstallFailed(const QString& description, std::function<void()> done) {
    progress_.reset();
    auto box = makeBox(QStringLiteral("Non riesco a installare l'aggiornamento"),
                       QStringLiteral("Quillora resta com'era. Riprova più tardi. (") + description +
                           QLatin1Char(')'));
    box->setStandardButtons(QMessageBox::Ok);
    present(std::move(box), [done = std::move(done)](QAbstractButton*) { done(); });
}

void UpdateDialogBoxes::present(std::unique_ptr<QMessageBox> box,
                                std::function<void(QAbstractButton*)> answered) {
    progress_.reset();
    if (box_) {
        finish(nullptr); // the updater shows one box at a time; an earlier one still counts as answered
    }
    box_ = std::move(box);
    answered_ = std::move(answered);
    QMessageBox* shown = box_.get();
    QObject::connect(shown, &QDialog::finished, shown, [this, shown] {
        if (box_.get() == shown) {
            finish(shown->clickedButton());
        }
    });
    shown->open();
    shown->raise();
    shown->activateWindow();
}

void UpdateDialogBoxes::finish(QAbstractButton* clicked) {
    std::unique_ptr<QMessageBox> box = std::move(box_);
    std::function<void(QAbstractButton*)> answered = std::exchange(answered_, nullptr);
    box->hide();
    // Possibly inside the box's own signal: it goes once control is back in the event loop.
    box.release()->deleteLater();
    if (answered) {
        answered(clicked);
    }
}
