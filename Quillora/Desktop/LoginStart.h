#pragma once

#include <QString>

// Starting at login, through the user's XDG autostart folder ($XDG_CONFIG_HOME/autostart): an entry there
// starts the program with `argument`, so that it comes up silently. The installed package adds nothing for
// every user: each user's first run turns it on for that user, and the menu turns it off.
namespace LoginStart {

inline const QString argument = QStringLiteral("--autostart");

QString entryPath();
bool isEnabled();
// Writes or removes the entry; false when the folder or file cannot be written.
bool setEnabled(bool enabled);

// On the first run, turns starting at login on; on later runs, points an existing entry at this copy of
// the program (a moved portable copy keeps starting). Remembered in the preferences.
void applyAtStart();

// The entry's text for `program` (a name found on the PATH, or an absolute path).
QString entryText(const QString& program);

} // namespace LoginStart
