#include "Platform/Files/PrivateFiles.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace PrivateFiles {

namespace {

std::string quoted(const std::filesystem::path& path) {
    return "\"" + path.string() + "\"";
}

// Writes all of data, retrying short writes and interruptions. Leaves errno set on failure.
bool writeAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t written = ::write(fd, data.data(), data.size());
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

// Makes one folder of the chain towards wanted unless it is there already.
void createFolder(const std::filesystem::path& folder, const std::filesystem::path& wanted) {
    struct stat status {};
    if (::stat(folder.c_str(), &status) != 0) {
        if (errno != ENOENT) {
            throw FileError(describe("Impossibile creare la cartella", folder, errno));
        }
        if (::mkdir(folder.c_str(), folderMode) == 0) {
            return;
        }
        if (errno != EEXIST || ::stat(folder.c_str(), &status) != 0) {
            throw FileError(describe("Impossibile creare la cartella", folder, errno));
        }
        // Made by someone else in the meantime: fine if it is a folder.
    }
    if (!S_ISDIR(status.st_mode)) {
        throw FileError("Impossibile creare la cartella " + quoted(wanted) + ": " +
                        (folder == wanted ? std::string("esiste già un file con questo nome")
                                          : quoted(folder) + " non è una cartella"));
    }
}

} // namespace

void createFolders(const std::filesystem::path& folder) {
    struct stat status {};
    if (folder.empty() || (::stat(folder.c_str(), &status) == 0 && S_ISDIR(status.st_mode))) {
        return; // the usual case, settled in one call
    }
    std::filesystem::path chain;
    for (const std::filesystem::path& part : folder) {
        chain /= part;
        if (part.empty() || part == part.root_directory() || part == "." || part == "..") {
            continue;
        }
        createFolder(chain, folder);
    }
}

int open(const std::filesystem::path& path, int flags) {
    const int fd = ::open(path.c_str(), flags | O_CREAT | O_CLOEXEC, fileMode);
    if (fd < 0) {
        return -1;
    }
    // A file left by someone (or something) else with a wider mode: nothing of ours is in it yet.
    struct stat status {};
    if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && (status.st_mode & 077) != 0 &&
        status.st_uid == ::geteuid()) {
        ::fchmod(fd, status.st_mode & 07700);
    }
    return fd;
}

bool writeFile(const std::filesystem::path& path, std::string_view data, std::string& error) {
    const int fd = open(path, O_WRONLY | O_TRUNC);
    if (fd < 0) {
        error = describe("Impossibile creare il file", path, errno);
        return false;
    }
    const bool written = writeAll(fd, data);
    int failure = errno;
    const bool closed = ::close(fd) == 0;
    if (written && closed) {
        return true;
    }
    if (written) {
        failure = errno;
    }
    // A cut-off file would pass for a complete one.
    ::unlink(path.c_str());
    error = describe("Impossibile scrivere il file", path, failure);
    return false;
}

bool replaceFile(const std::filesystem::path& path, std::string_view data, std::string& error) {
    const std::filesystem::path folder = path.has_parent_path() ? path.parent_path() : ".";
    const std::string pattern = (folder / ("." + path.filename().string() + ".XXXXXX")).string();
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    // mkstemp creates the file 0600.
    const int fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) {
        error = describe("Impossibile creare un file temporaneo in", folder, errno);
        return false;
    }
    const bool written = writeAll(fd, data) && ::fsync(fd) == 0;
    int failure = errno;
    const bool closed = ::close(fd) == 0;
    if (written && !closed) {
        failure = errno;
    }
    if (written && closed && ::rename(name.data(), path.c_str()) == 0) {
        return true;
    }
    if (written && closed) {
        failure = errno;
    }
    ::unlink(name.data());
    error = describe("Impossibile scrivere il file", path, failure);
    return false;
}

std::string errorText(int error) {
    switch (error) {
    case EACCES:
    case EPERM:
        return "permesso negato";
    case ENOENT:
        return "il file o la cartella non esiste";
    case ENOTDIR:
        return "una parte del percorso non è una cartella";
    case EISDIR:
        return "è una cartella";
    case EEXIST:
        return "esiste già";
    case ENOSPC:
        return "spazio esaurito sul disco";
    case EDQUOT:
        return "spazio concesso all'utente esaurito sul disco";
    case EROFS:
        return "il disco è in sola lettura";
    case EFBIG:
        return "il file è troppo grande";
    case ENAMETOOLONG:
        return "nome troppo lungo";
    case ELOOP:
        return "troppi collegamenti simbolici nel percorso";
    case EMFILE:
    case ENFILE:
        return "troppi file aperti";
    case EIO:
        return "errore di lettura o scrittura sul disco";
    case ENOMEM:
        return "memoria insufficiente";
    case EBUSY:
    case ETXTBSY:
        return "il file è in uso";
    case ENXIO:
    case ENODEV:
        return "il dispositivo non è disponibile";
    case EXDEV:
        return "non si può spostare su un altro disco";
    case ENOTEMPTY:
        return "la cartella non è vuota";
    case EINVAL:
        return "valore non valido";
    default:
        return "errore di sistema " + std::to_string(error);
    }
}

std::string describe(std::string_view what, const std::filesystem::path& path, int error) {
    return std::string(what) + " " + quoted(path) + ": " + errorText(error);
}

} // namespace PrivateFiles
