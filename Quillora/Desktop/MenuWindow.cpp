#include "Quillora/Desktop/MenuWindow.h"

#include "Quillora/Desktop/Symbols.h"

#include <QCheckBox>
#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <QShortcut>
#include <QVBoxLayout>

namespace {

// Menu texts mark mnemonics with "&" and write a real "&" as "&&"; a label shows text as it is.
QString labelText(QString text) {
    return text.replace(QStringLiteral("&&"), QStringLiteral("&"));
}

QWidget* rowFor(QAction* action) {
    const QPointer<QAction> entry(action);
    if (action->isSeparator()) {
        auto* line = new QFrame;
        line->setFrameShape(QFrame::HLine);
        line->setFrameShadow(QFrame::Sunken);
        return line;
    }
    if (action->isCheckable()) {
        auto* box = new QCheckBox(action->text());
        box->setChecked(action->isChecked());
        QObject::connect(box, &QCheckBox::toggled, box, [entry](bool on) {
            if (entry && entry->isChecked() != on) {
                entry->setChecked(on);
            }
        });
        QObject::connect(action, &QAction::changed, box,
                         [box, entry] { box->setChecked(entry->isChecked()); });
        return box;
    }
    if (!action->isEnabled()) {
        auto* label = new QLabel(labelText(action->text()));
        label->setTextFormat(Qt::PlainText);
        // A status line, not an unavailable command: the secondary text colour, as in the menu.
        Symbols::setTextColor(*label, Symbols::textColor(*label, 0.6));
        label->setContentsMargins(8, 2, 8, 2);
        QObject::connect(action, &QAction::changed, label,
                         [label, entry] { label->setText(labelText(entry->text())); });
        return label;
    }
    auto* button = new QPushButton(action->text());
    button->setFlat(true);
    button->setStyleSheet(QStringLiteral("text-align: left; padding: 4px 8px;"));
    QObject::connect(button, &QPushButton::clicked, button, [entry] {
        if (entry) {
            entry->trigger();
        }
    });
    QObject::connect(action, &QAction::changed, button, [button, entry] { button->setText(entry->text()); });
    return button;
}

} // namespace

MenuWindow::MenuWindow(QMenu& menu, QWidget* parent) : QWidget(parent, Qt::Window), menu_(menu) {
    setObjectName(QStringLiteral("QuilloraMenuWindow"));
    setWindowTitle(QStringLiteral("Quillora"));
    layout_ = new QVBoxLayout(this);
    layout_->setSizeConstraint(QLayout::SetFixedSize);
    // The keys a status menu cannot deliver work here, while the window has the keyboard.
    for (const auto& [keys, entry] : {std::pair{QKeySequence(Qt::CTRL | Qt::Key_R), "toggleRecording"},
                                      std::pair{QKeySequence(Qt::CTRL | Qt::Key_Q), "quit"}}) {
        auto* shortcut = new QShortcut(keys, this);
        connect(shortcut, &QShortcut::activated, this, [this, name = QString::fromLatin1(entry)] {
            for (QAction* action : menu_.actions()) {
                if (action->objectName() == name) {
                    action->trigger();
                    return;
                }
            }
        });
    }
    refresh();
}

void MenuWindow::refresh() {
    delete rows_;
    rows_ = new QWidget;
    auto* column = new QVBoxLayout(rows_);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(2);
    for (QAction* action : menu_.actions()) {
        if (action->isVisible()) {
            column->addWidget(rowFor(action));
        }
    }
    layout_->addWidget(rows_);
}

void MenuWindow::present() {
    show();
    raise();
    activateWindow();
}
