#pragma once

#include <QString>
#include <optional>

// The user's own desktop entry for a copy of the program that is not installed system-wide: written to
// <data home>/applications (so it appears in the application grid) from the packaged entry, with Exec and
// TryExec naming that copy's program, and the icon copied to <data home>/icons/hicolor/scalable/apps.
// The same entry serves the autostart folder.
namespace DesktopEntry {

inline const QString applicationId = QStringLiteral("com.tandrevel.Quillora");

// The packaged entry's text with Exec= and TryExec= naming `program` (an absolute path, quoted and
// escaped as desktop entries want). None when `templateText` has no [Desktop Entry] group.
std::optional<QString> forProgram(const QString& templateText, const QString& program);

// Writes `folder`/com.tandrevel.Quillora.desktop from the entry at `templatePath`, replacing any earlier
// one in one rename. Returns what went wrong, or nothing.
std::optional<QString> install(const QString& templatePath, const QString& program, const QString& folder);

// Copies the scalable icon `svg` into <dataHome>/icons/hicolor/scalable/apps/com.tandrevel.Quillora.svg.
std::optional<QString> installIcon(const QString& svg, const QString& dataHome);

} // namespace DesktopEntry
