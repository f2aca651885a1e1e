// The graphical program, started exactly as `quillora` starts it, with one addition: as soon as its event
// loop runs, it chooses "Avvia registrazione" in its own status menu, the way a user would. With
// QUILLORA_TEST_QUIT_AFTER_MS set, it then quits through the event loop after that many milliseconds;
// otherwise it records until it is told to stop (a signal, the session).
#include "Quillora/Desktop/QuilloraApp.h"

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QTimer>
#include <cstdio>

namespace {

QAction* startAction() {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* menu = qobject_cast<QMenu*>(widget); menu && menu->objectName() == "QuilloraMenu") {
            for (QAction* action : menu->actions()) {
                if (action->text() == QStringLiteral("Avvia registrazione")) {
                    return action;
                }
            }
        }
    }
    return nullptr;
}

void startRecordingOnceRunning() {
    QTimer::singleShot(0, QCoreApplication::instance(), [] {
        QAction* start = startAction();
        if (start == nullptr) {
            std::fputs("driver: no \"Avvia registrazione\" in the status menu\n", stderr);
            QCoreApplication::exit(3);
            return;
        }
        start->trigger();
        bool valid = false;
        const int quitAfter = qEnvironmentVariableIntValue("QUILLORA_TEST_QUIT_AFTER_MS", &valid);
        if (valid) {
            QTimer::singleShot(quitAfter, QCoreApplication::instance(), [] { QCoreApplication::quit(); });
        }
    });
}

} // namespace

int main(int argc, char* argv[]) {
    // Runs when the program creates its application object.
    qAddPreRoutine(startRecordingOnceRunning);
    return QuilloraApp::main(argc, argv);
}
