#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>

// Recordings, their summaries, the debug tracks, reports and the log tell what was said in a call. Many
// Linux systems leave home folders readable by every account, so these are made private here rather
// than trusted to the umask: files are created 0600 and every folder made for them 0700, from the first
// byte on (never widened first and narrowed later). A folder that already exists keeps the mode its
// owner gave it.
namespace PrivateFiles {

constexpr unsigned fileMode = 0600;
constexpr unsigned folderMode = 0700;

// A file-system failure. The message is Italian and names the path concerned.
class FileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Makes folder and whichever of its parents are missing, each one owner-only. Throws FileError naming
// the folder that could not be made, or the file that stands where a folder should be.
void createFolders(const std::filesystem::path& folder);

// open(2) for writing, creating the file owner-only. flags holds the access mode and any of O_TRUNC,
// O_APPEND, O_EXCL; O_CREAT and O_CLOEXEC are added. An existing file that others may read is closed to
// them before the caller writes anything. Returns the descriptor, or -1 with errno set.
int open(const std::filesystem::path& path, int flags);

// Writes data as the whole of path (not atomically). On failure nothing is left at path and the Italian
// description is returned in error.
bool writeFile(const std::filesystem::path& path, std::string_view data, std::string& error);

// Replaces path with data atomically: a private temporary file beside it, flushed, then renamed over it.
bool replaceFile(const std::filesystem::path& path, std::string_view data, std::string& error);

// The Italian description of an errno value, e.g. "spazio esaurito sul disco".
std::string errorText(int error);

// what + " \"" + path + "\": " + errorText(error).
std::string describe(std::string_view what, const std::filesystem::path& path, int error);

} // namespace PrivateFiles
