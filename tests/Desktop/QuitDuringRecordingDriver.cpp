// The graphical program, started exactly as `quillora` starts it, with one addition: as soon as its event
// loop runs, it chooses "Avvia registrazione" in its own status menu, the way a user would, then records
// until it is told to stop.
#include "Quillora/Desktop/QuilloraApp.h"

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QTimer>

int main(int argc, char* argv[]) {
    // Runs when the program creates its application object.
    qAddPreRoutine([] {
        QTimer::singleShot(0, QCoreApplication::instance(), [] {
            for (QWidget* widget : QApplication::topLevelWidgets()) {
                if (auto* menu = qobject_cast<QMenu*>(widget); menu && menu->objectName() == "QuilloraMenu") {
                    for (QAction* action : menu->actions()) {
                        if (action->text() == QStringLiteral("Avvia registrazione")) {
                            return action->trigger();
                        }
                    }
                }
            }
            QCoreApplication::exit(3); // no "Avvia registrazione" in the status menu
        });
    });
    return QuilloraApp::main(argc, argv);
}
