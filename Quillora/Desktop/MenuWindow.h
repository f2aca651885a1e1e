#pragma once

#include <QMenu>
#include <QPointer>
#include <QWidget>

class QVBoxLayout;

// The status menu as a small window, for desktops without a status area (stock GNOME): one row per menu
// entry, in the menu's order, doing what the entry does. Labels stay labels, toggles are check boxes,
// separators are lines; it follows the menu as the menu changes. Closing it only hides it.
class MenuWindow : public QWidget {
    Q_OBJECT

public:
    explicit MenuWindow(QMenu& menu, QWidget* parent = nullptr);

    // Rebuilds the rows from the menu's entries (after the menu is rebuilt).
    void refresh();
    // Shows the window and brings it to the front.
    void present();

private:
    QMenu& menu_;
    QVBoxLayout* layout_ = nullptr;
    QPointer<QWidget> rows_;
};
