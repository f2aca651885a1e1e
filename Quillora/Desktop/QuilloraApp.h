#pragma once

#include <QIcon>
#include <QMenu>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QSystemTrayIcon>
#include <QTimer>
#include <functional>
#include <memory>

class MenuWindow;
class RecorderModel;
class RecorderViews;
class UpdateManager;

// The program's face in the desktop's status area: an icon showing whether a recording runs (with the
// time in the tooltip) or an update waits, and the menu of every command, rebuilt whenever a value it
// shows changes. Left and right click both open the menu. The icon comes whenever a status area (tray host)
// appears and goes when it goes; without one, the same menu is offered as a small window (the panels,
// notices and call watch do not depend on either).
class QuilloraApp : public QObject {
    Q_OBJECT

public:
    enum class LabelState { idle, updateAvailable, recording };

    // `views` (may be null) brings the program's windows to the front before the update dialogs.
    QuilloraApp(RecorderModel& model, UpdateManager& updates, RecorderViews* views,
                QObject* parent = nullptr);
    ~QuilloraApp() override;

    LabelState labelState() const;
    QString toolTip() const;
    QMenu& menu() { return *menu_; }
    QSystemTrayIcon& trayIcon() { return tray_; }

    // Called by "Esci da Quillora" after the recording is stopped; by default it ends the event loop.
    std::function<void()> quit;

    // Rebuilds the menu now (it is otherwise rebuilt once after a burst of changes).
    void rebuildMenu();

    // The menu as a window, created on first use; shown and brought to the front.
    void showMenuWindow();
    MenuWindow* menuWindow() const { return window_.get(); }

    // Shows the tray icon when a tray host is there and hides it when not; run now and every second.
    void watchTrayHost();
    bool trayIconShown() const { return trayShown_; }

    // The icon for each state: "phone"; "phone.arrow.down.left" with a blue download badge; the red
    // recording symbol.
    static QIcon iconFor(LabelState state);

    // The graphical program: the application object, the log line, the demonstration or the model with
    // its call watch, the status icon, and a stopped recording at quit, on SIGINT/SIGTERM and when the
    // session ends. Returns the exit code.
    static int main(int argc, char** argv);

signals:
    void menuRebuilt();

private:
    void scheduleRebuild();
    void followTrayHost();
    void refreshLabel();
    void checkForUpdates();
    void onActivated(QSystemTrayIcon::ActivationReason reason);

    RecorderModel& model_;
    UpdateManager& updates_;
    RecorderViews* views_;
    std::unique_ptr<QMenu> menu_;
    QSystemTrayIcon tray_;
    QPointer<QAction> elapsedRow_;
    std::unique_ptr<MenuWindow> window_;
    QTimer* trayWatch_ = nullptr;
    bool trayShown_ = false;
    bool rebuildPending_ = false;
    LabelState shownState_ = LabelState::idle;
};
