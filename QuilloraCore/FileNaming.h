#pragma once

#include <QDateTime>
#include <filesystem>
#include <functional>

// Where recordings go and what each one is called.
namespace FileNaming {

// True when anything (a file, a folder, even a dangling symbolic link) already sits at the path.
bool existsOnDisk(const std::filesystem::path& path);

// The XDG music folder + "Quillora" (~/Music/Quillora when the desktop names no music folder).
// Computed on every call; not created here.
std::filesystem::path defaultDirectory();

// directory / "Chiamata yyyy-MM-dd HH.mm.m4a" in local time, or the first free " (2)", " (3)"... variant.
// Neither the file nor the folder is created, so two callers in the same instant can get the same name.
std::filesystem::path
recordingURL(const std::filesystem::path& directory, const QDateTime& date,
             const std::function<bool(const std::filesystem::path&)>& fileExists = existsOnDisk);

} // namespace FileNaming
