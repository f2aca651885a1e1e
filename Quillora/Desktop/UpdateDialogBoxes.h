#pragma once

#include "Quillora/Services/Updater.h"

#include <QPointer>
#include <functional>
#include <memory>

class QAbstractButton;
class QMessageBox;
class QProgressDialog;

// The updater's dialogs as message boxes. A box is opened without a nested event loop (QDialog::open):
// recordings, timers and quitting carry on while it is up, and the updater keeps its session open until
// the box is answered. Each `done` is called exactly once: when the box is answered or closed, when
// another box replaces it, or, as "later", when this object goes away with a box still up.
class UpdateDialogBoxes : public UpdateDialogs {
public:
    // With an updater, the boxes are its dialogs for as long as this object lives.
    explicit UpdateDialogBoxes(Updater* updater = nullptr);
    ~UpdateDialogBoxes() override;

    UpdateDialogBoxes(const UpdateDialogBoxes&) = delete;
    UpdateDialogBoxes& operator=(const UpdateDialogBoxes&) = delete;

    void showUpdateFound(const AppcastItem& update, std::function<void(Choice)> done) override;
    void showUpToDate(const QString& installedVersion, std::function<void()> done) override;
    void showCheckFailed(const QString& description, std::function<void()> done) override;
    // A progress window without a cancel button: a package handed to the installer cannot be taken back.
    void showProgress(qint64 received, qint64 total) override;
    void showWaitingForRecording() override;
    void showInstallFailed(const QString& description, std::function<void()> done) override;

    // The box waiting for an answer, if any.
    QMessageBox* currentBox() const { return box_.get(); }
    // The installation's progress window while it is up.
    QProgressDialog* progressWindow() const { return progress_.get(); }

private:
    // `answered` gets the button that closed the box, or null when it went away unanswered.
    void present(std::unique_ptr<QMessageBox> box, std::function<void(QAbstractButton*)> answered);
    void finish(QAbstractButton* clicked);

    QPointer<Updater> updater_;
    std::unique_ptr<QMessageBox> box_;
    std::unique_ptr<QProgressDialog> progress_;
    std::function<void(QAbstractButton*)> answered_;
};
