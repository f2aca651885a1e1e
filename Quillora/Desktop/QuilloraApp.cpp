#include "Quillora/Desktop/QuilloraApp.h"

#include "Quillora/Services/QuitSignals.h"

#include "Quillora/Desktop/LoginStart.h"
#include "Quillora/Desktop/MenuWindow.h"
#include "Quillora/Desktop/OverlayViews.h"
#include "Quillora/Desktop/SingleInstance.h"
#include "Quillora/Desktop/Symbols.h"
#include "Quillora/Desktop/UpdateDialogBoxes.h"
#include "Quillora/Model/RecorderModel.h"
#include "Quillora/Services/AppInfo.h"
#include "Quillora/Services/AppMover.h"
#include "Quillora/Services/PlatformServices.h"
#include "Quillora/Services/UpdateManager.h"
#include "QuilloraCore/Diagnostics.h"

#include <QApplication>
#include <QCursor>
#include <QLibraryInfo>
#include <QPainter>
#include <QSessionManager>
#include <QSocketNotifier>
#include <QTimer>
#include <QTranslator>
#include <array>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace {

const QString middleDot = QStringLiteral(" \u00B7 ");

// Turns SIGINT and SIGTERM into a quit on the main loop, so a running recording is stopped and saved.
// Menu texts treat "&" as a mnemonic marker; values shown in the menu (messages, device names, file
// names) are shown as they are.
QString verbatim(QString text) {
    return text.replace(QLatin1Char('&'), QStringLiteral("&&"));
}

QAction* addLabel(QMenu& menu, const QString& text) {
    QAction* action = menu.addAction(verbatim(text));
    action->setEnabled(false);
    return action;
}

// The status area may be dark or light and the program cannot tell which, so the plain symbols are drawn
// light with a dark outline: they read on either.
QPixmap statusGlyph(const QString& symbol, int size) {
    const int inner = size - 2;
    const QPixmap outline = Symbols::pixmap(symbol, QColor(0x1C, 0x1C, 0x1E, 0xD0), inner);
    const QPixmap glyph = Symbols::pixmap(symbol, QColor(0xF5, 0xF5, 0xF7), inner);
    QPixmap image(size, size);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    for (const QPoint offset : {QPoint(0, 1), QPoint(2, 1), QPoint(1, 0), QPoint(1, 2), QPoint(0, 0),
                                QPoint(2, 0), QPoint(0, 2), QPoint(2, 2)}) {
        painter.drawPixmap(offset, outline);
    }
    painter.drawPixmap(QPoint(1, 1), glyph);
    return image;
}

} // namespace

QuilloraApp::QuilloraApp(RecorderModel& model, UpdateManager& updates, RecorderViews* views, QObject* parent)
    : QObject(parent), model_(model), updates_(updates), views_(views), menu_(std::make_unique<QMenu>()) {
    quit = [] { QCoreApplication::quit(); };
    menu_->setObjectName(QStringLiteral("QuilloraMenu"));
    // The status lines are rows that cannot be chosen, not unavailable commands: shown in the secondary
    // text colour rather than the faint one of disabled entries.
    QPalette palette = menu_->palette();
    for (const QPalette::ColorRole role : {QPalette::Text, QPalette::WindowText, QPalette::ButtonText}) {
        QColor secondary = palette.color(QPalette::Active, role);
        secondary.setAlphaF(0.6f);
        palette.setColor(QPalette::Disabled, role, secondary);
    }
    menu_->setPalette(palette);
    tray_.setContextMenu(menu_.get());
    connect(&tray_, &QSystemTrayIcon::activated, this, &QuilloraApp::onActivated);

    connect(&model_, &RecorderModel::isRecordingChanged, this, &QuilloraApp::scheduleRebuild);
    connect(&model_, &RecorderModel::microphoneNameChanged, this, &QuilloraApp::scheduleRebuild);
    connect(&model_, &RecorderModel::messageChanged, this, &QuilloraApp::scheduleRebuild);
    connect(&model_, &RecorderModel::lastFileChanged, this, &QuilloraApp::scheduleRebuild);
    connect(&model_, &RecorderModel::showOverlayChanged, this, &QuilloraApp::scheduleRebuild);
    connect(&model_, &RecorderModel::proposeOnCallChanged, this, &QuilloraApp::scheduleRebuild);
    connect(&updates_, &UpdateManager::availableVersionChanged, this, &QuilloraApp::scheduleRebuild);
    // The time advances ten times a second: only its row and the tooltip change.
    connect(&model_, &RecorderModel::elapsedChanged, this, [this] {
        if (elapsedRow_ && model_.isRecording()) {
            elapsedRow_->setText(
                verbatim(QStringLiteral("In registrazione") + middleDot + model_.elapsedText()));
        }
        refreshLabel();
    });
    connect(&model_, &RecorderModel::isRecordingChanged, this, &QuilloraApp::refreshLabel);
    connect(&updates_, &UpdateManager::availableVersionChanged, this, &QuilloraApp::refreshLabel);

    rebuildMenu();
    shownState_ = labelState();
    tray_.setIcon(iconFor(shownState_));
    tray_.setToolTip(toolTip());
}

QuilloraApp::~QuilloraApp() {
    window_.reset();
    tray_.setContextMenu(nullptr);
}

void QuilloraApp::showMenuWindow() {
    if (!window_) {
        window_ = std::make_unique<MenuWindow>(*menu_);
        connect(this, &QuilloraApp::menuRebuilt, window_.get(), &MenuWindow::refresh);
    }
    window_->present();
}

void QuilloraApp::watchTrayHost() {
    if (trayWatch_ == nullptr) {
        // Tray hosts come late at login and go when a panel restarts: looked for every second (the
        // question is answered from what the program already knows, without a round trip).
        trayWatch_ = new QTimer(this);
        trayWatch_->setInterval(1000);
        connect(trayWatch_, &QTimer::timeout, this, &QuilloraApp::followTrayHost);
        trayWatch_->start();
    }
    followTrayHost();
}

void QuilloraApp::followTrayHost() {
    const bool available = QSystemTrayIcon::isSystemTrayAvailable();
    if (available == trayShown_) {
        return;
    }
    trayShown_ = available;
    // Hidden first: showing an icon that is already "visible" would not embed it in the new host.
    tray_.hide();
    if (available) {
        tray_.show();
        Diagnostics::log("Area di notifica disponibile: icona di Quillora mostrata");
    } else {
        Diagnostics::log("Nessuna area di notifica disponibile: l'icona di Quillora non viene mostrata; "
                         "pannelli, avvisi e controllo delle chiamate restano attivi");
    }
}

QuilloraApp::LabelState QuilloraApp::labelState() const {
    if (model_.isRecording()) {
        return LabelState::recording;
    }
    if (!updates_.availableVersion().isEmpty()) {
        return LabelState::updateAvailable;
    }
    return LabelState::idle;
}

QString QuilloraApp::toolTip() const {
    switch (labelState()) {
    case LabelState::recording:
        return QStringLiteral("In registrazione") + middleDot + model_.elapsedText();
    case LabelState::updateAvailable:
        return QStringLiteral("Quillora") + middleDot + QStringLiteral("Aggiornamento disponibile");
    case LabelState::idle:
        break;
    }
    return QStringLiteral("Quillora");
}

QIcon QuilloraApp::iconFor(LabelState state) {
    static constexpr std::array<int, 6> sizes{16, 22, 24, 32, 48, 64};
    QIcon icon;
    switch (state) {
    case LabelState::recording:
        return Symbols::icon(QStringLiteral("record.circle.fill"),
                             Symbols::namedColor(QStringLiteral("red")));
    case LabelState::updateAvailable: {
        for (const int size : sizes) {
            QPixmap base = statusGlyph(QStringLiteral("phone.arrow.down.left"), size);
            QPainter painter(&base);
            painter.setRenderHint(QPainter::Antialiasing);
            const int badge = (size * 5 + 5) / 10;
            const QRectF spot(size - badge, size - badge, badge, badge);
            // A dark rim sets the badge off the phone; a light disc behind it shows through its arrow.
            painter.setPen(Qt::NoPen);
            painter.setBrush(QColor(0x1C, 0x1C, 0x1E, 0xD0));
            painter.drawEllipse(spot.adjusted(-1, -1, 1, 1));
            painter.setBrush(QColor(0xF5, 0xF5, 0xF7));
            painter.drawEllipse(spot.adjusted(2, 2, -2, -2));
            painter.drawPixmap(spot.topLeft(),
                               Symbols::pixmap(QStringLiteral("arrow.down.circle.fill"),
                                               Symbols::namedColor(QStringLiteral("blue")), badge));
            painter.end();
            icon.addPixmap(base);
        }
        return icon;
    }
    case LabelState::idle:
        break;
    }
    for (const int size : sizes) {
        icon.addPixmap(statusGlyph(QStringLiteral("phone"), size));
    }
    return icon;
}

void QuilloraApp::scheduleRebuild() {
    // Deferred: a row's own action may change what the menu shows, and must not be deleted while it runs.
    if (rebuildPending_) {
        return;
    }
    rebuildPending_ = true;
    QTimer::singleShot(0, this, [this] {
        if (rebuildPending_) {
            rebuildMenu();
        }
    });
}

void QuilloraApp::refreshLabel() {
    const LabelState state = labelState();
    if (state != shownState_) {
        shownState_ = state;
        tray_.setIcon(iconFor(state));
    }
    tray_.setToolTip(toolTip());
}

void QuilloraApp::rebuildMenu() {
    rebuildPending_ = false;
    QMenu& menu = *menu_;
    menu.clear();
    elapsedRow_ = nullptr;

    const QString version = updates_.availableVersion();
    if (!version.isEmpty()) {
        QAction* install = menu.addAction(QStringLiteral("Installa l'aggiornamento a Quillora ") +
                                          verbatim(version) + QStringLiteral("\u2026"));
        connect(install, &QAction::triggered, this, &QuilloraApp::checkForUpdates);
        menu.addSeparator();
    }

    const bool recording = model_.isRecording();
    QAction* toggle = menu.addAction(recording ? QStringLiteral("Ferma registrazione")
                                               : QStringLiteral("Avvia registrazione"));
    // No key shown: a status menu never receives keys on Linux (the menu's window offers Ctrl+R).
    toggle->setObjectName(QStringLiteral("toggleRecording"));
    connect(toggle, &QAction::triggered, &model_, &RecorderModel::toggle);
    if (recording) {
        elapsedRow_ = addLabel(menu, QStringLiteral("In registrazione") + middleDot + model_.elapsedText());
        const QString microphone = model_.microphoneName();
        addLabel(menu, QStringLiteral("Microfono: ") +
                           (microphone.isEmpty() ? QStringLiteral("nessuno") : microphone));
    }
    const QString message = model_.message();
    if (!message.isNull()) {
        addLabel(menu, message);
        if (message.startsWith(QStringLiteral("Microfono non autorizzato"))) {
            QAction* settings = menu.addAction(QStringLiteral("Apri le impostazioni del microfono\u2026"));
            connect(settings, &QAction::triggered, &model_, &RecorderModel::openMicrophoneSettings);
        }
    }
    menu.addSeparator();

    connect(menu.addAction(QStringLiteral("Apri cartella registrazioni")), &QAction::triggered, &model_,
            &RecorderModel::openFolder);
    if (!model_.lastFile().isEmpty()) {
        connect(menu.addAction(QStringLiteral("Mostra l'ultima registrazione")), &QAction::triggered, &model_,
                &RecorderModel::revealLastFile);
    }
    menu.addSeparator();

    connect(menu.addAction(QStringLiteral("Invia un feedback\u2026")), &QAction::triggered, &model_,
            qOverload<>(&RecorderModel::openFeedback));
    QAction* overlay = menu.addAction(QStringLiteral("Mostra il pannello durante la registrazione"));
    overlay->setCheckable(true);
    overlay->setChecked(model_.showOverlay());
    connect(overlay, &QAction::toggled, &model_, &RecorderModel::setShowOverlay);
    QAction* propose = menu.addAction(QStringLiteral("Proponi di registrare quando inizia una chiamata"));
    propose->setCheckable(true);
    propose->setChecked(model_.proposeOnCall());
    connect(propose, &QAction::toggled, &model_, &RecorderModel::setProposeOnCall);
    QAction* atLogin = menu.addAction(QStringLiteral("Avvia all'accesso"));
    atLogin->setCheckable(true);
    atLogin->setChecked(LoginStart::isEnabled());
    connect(atLogin, &QAction::toggled, this, [this](bool on) {
        if (!LoginStart::setEnabled(on)) {
            Diagnostics::log("Impossibile cambiare l'avvio all'accesso: " +
                             LoginStart::entryPath().toStdString());
        }
        scheduleRebuild();
    });
    connect(menu.addAction(QStringLiteral("Controlla aggiornamenti\u2026")), &QAction::triggered, this,
            &QuilloraApp::checkForUpdates);
    menu.addSeparator();

    addLabel(menu, QStringLiteral("Quillora ") + AppInfo::version());
    QAction* quitRow = menu.addAction(QStringLiteral("Esci da Quillora"));
    quitRow->setObjectName(QStringLiteral("quit"));
    connect(quitRow, &QAction::triggered, this, [this] {
        model_.stop();
        if (quit) {
            quit();
        }
    });
    emit menuRebuilt();
}

void QuilloraApp::checkForUpdates() {
    if (views_ != nullptr) {
        views_->activateApplication();
    }
    updates_.controller().checkForUpdates();
}

void QuilloraApp::onActivated(QSystemTrayIcon::ActivationReason reason) {
    if (reason == QSystemTrayIcon::Trigger) {
        menu_->popup(QCursor::pos());
    }
}

int QuilloraApp::main(int argc, char** argv) {
    // The floating panels need a window system that lets a program place its own windows.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
        !qEnvironmentVariableIsEmpty("DISPLAY")) {
        qputenv("QT_QPA_PLATFORM", "xcb");
    }
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Tandrevel"));
    QApplication::setApplicationName(QStringLiteral("Quillora"));
    QApplication::setApplicationVersion(AppInfo::version());
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setWindowIcon(Symbols::applicationIcon());
    // Lets the desktop match our windows with the installed desktop entry.
    QGuiApplication::setDesktopFileName(QStringLiteral("com.tandrevel.Quillora"));

    // One copy per session: a later launch hands over to the running one. A launch from the
    // applications menu asks it to show itself; the start at login asks nothing.
    const bool atLogin = QCoreApplication::arguments().contains(LoginStart::argument);
    SingleInstance instance;
    if (!instance.claim()) {
        const auto request = atLogin ? SingleInstance::Request::quiet : SingleInstance::Request::show;
        if (instance.handOver(request)) {
            return 0;
        }
        std::fputs("quillora: another copy is running but does not answer\n", stderr);
        return 1;
    }

    // Qt's own texts (text fields' context menus, network errors, standard buttons) in the user's language.
    QTranslator qtTexts;
    const QLocale language(
        DesktopEntries::messagesLocale().section(QLatin1Char('.'), 0, 0).section(QLatin1Char('@'), 0, 0));
    if (language.language() == QLocale::Italian &&
        qtTexts.load(language, QStringLiteral("qtbase"), QStringLiteral("_"),
                     QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        QCoreApplication::installTranslator(&qtTexts);
    }

    Diagnostics::log("Avvio Quillora " + AppInfo::version().toStdString() + " su " +
                     AppInfo::bundlePath().toStdString());
    // The installation offer comes before the model starts watching for calls.
    if (!QCoreApplication::arguments().contains(QStringLiteral("--demo"))) {
        AppMover::offerMoveIfNeeded();
    }

    LoginStart::applyAtStart();
    RecorderModel& model = RecorderModel::shared();
    UpdateManager::shared().setRecordingInProgress([&model] { return model.isRecording(); });
    PanelViews views(model);
    model.setViews(&views);
    QuilloraApp face(model, UpdateManager::shared(), &views);
    UpdateDialogBoxes updateDialogs(&UpdateManager::shared().controller());
    face.watchTrayHost();
    // Started by hand with nowhere to show the icon: the menu comes as a window. A later launch shows
    // that window too, tray or not: what a user who starts a running program again expects to see.
    if (!atLogin && !face.trayIconShown()) {
        face.showMenuWindow();
    }
    QObject::connect(&instance, &SingleInstance::requested, &face, [&face](SingleInstance::Request request) {
        if (request == SingleInstance::Request::show) {
            face.showMenuWindow();
        }
    });
    if (QCoreApplication::arguments().contains(QStringLiteral("--demo"))) {
        model.showDemo();
    }

    // Every way out saves a running recording first.
    QuitSignals signalsWatch([] { QCoreApplication::quit(); });
    QObject::connect(&app, &QGuiApplication::commitDataRequest, &model,
                     [&model](QSessionManager&) { model.stop(); });
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &model, [&model] { model.stop(); });

    const int code = QApplication::exec();
    model.stop();
    model.setViews(nullptr);
    Diagnostics::flush();
    return code;
}
