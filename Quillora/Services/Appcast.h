#pragma once

#include <QByteArrayView>
#include <QString>
#include <QUrl>
#include <optional>
#include <vector>

// One downloadable file of a release: the .deb for an architecture, or the portable archive.
struct AppcastEnclosure {
    QUrl url;
    qint64 length = -1;  // "length"; -1 when the feed gives none
    QString edSignature; // "sparkle:edSignature": base64 Ed25519 signature of the file
};

// One release announced by the update feed.
struct AppcastItem {
    QString title;
    QString version;        // "sparkle:version": what is compared with the installed build
    QString displayVersion; // "sparkle:shortVersionString", else `version`: what the user is shown
    QUrl downloadURL;       // the first enclosure's "url"
    std::vector<AppcastEnclosure> enclosures; // in feed order
    QUrl infoURL;                             // the item's <link>, when it has one

    // Where the user goes to get the release: its page when the feed names one, else the download itself.
    QUrl location() const { return infoURL.isEmpty() ? downloadURL : infoURL; }
};

// The update feed: an RSS 2.0 document whose items carry the release's version in the appcast namespace,
// as elements or as attributes of the enclosure. The feed comes from the network, so everything in it is
// checked and limited; a feed that breaks a rule is refused whole, with the reason.
namespace Appcast {

inline constexpr qint64 maxBytes = 1024 * 1024;
inline constexpr int maxDepth = 16;
inline constexpr int maxItems = 500;
inline constexpr int maxFieldLength = 2048;
inline constexpr int maxEnclosures = 16;

struct Parsed {
    std::vector<AppcastItem> items; // in feed order; items for another operating system are left out
    QString problem;                // in Italian; empty when the feed was accepted

    bool accepted() const { return problem.isEmpty(); }
};

Parsed parse(QByteArrayView xml);

// The enclosure for one kind of package on one architecture (a Debian architecture name such as
// "amd64"): its file name ends in "_<arch>.deb" for the package, "-<arch>.tar.gz" for the portable archive.
enum class PackageKind { deb, portable };
std::optional<AppcastEnclosure> enclosureFor(const AppcastItem& item, PackageKind kind, const QString& arch);

// Negative when `a` is older than `b`, 0 when they are the same release, positive when `a` is newer.
// Numbers compare by value, a number is newer than a word ("1.1" > "1.b"), missing trailing zeros do not
// count ("1.0" = "1.0.0"), and a version followed by a word is a pre-release of it ("1.0b2" < "1.0").
int compareVersions(const QString& a, const QString& b);

// The newest item whose version is newer than `installed`, if any.
std::optional<AppcastItem> newestUpdate(const std::vector<AppcastItem>& items, const QString& installed);

} // namespace Appcast
