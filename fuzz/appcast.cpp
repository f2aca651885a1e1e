// The update feed. Input: the feed document as downloaded.
#include "Quillora/Appcast.h"
#include "FuzzSupport.h"
#include "Quillora/WebAccess.h"

#include <algorithm>

using FuzzSupport::require;

namespace {

bool asciiAlphanumeric(QChar c) {
    return (c >= QLatin1Char('0') && c <= QLatin1Char('9')) ||
           (c >= QLatin1Char('a') && c <= QLatin1Char('z')) ||
           (c >= QLatin1Char('A') && c <= QLatin1Char('Z'));
}

// What the feed's versions must look like: up to 64 ASCII letters, digits and . _ + ~ -, starting with a
// letter or digit and holding at least one digit.
bool wellFormedVersion(const QString& version) {
    if (version.isEmpty() || version.size() > 64 || !asciiAlphanumeric(version.front())) {
        return false;
    }
    const bool allowed = std::all_of(version.begin(), version.end(), [](QChar c) {
        return asciiAlphanumeric(c) || QStringLiteral("._+~-").contains(c);
    });
    const bool digit = std::any_of(version.begin(), version.end(),
                                   [](QChar c) { return c >= QLatin1Char('0') && c <= QLatin1Char('9'); });
    return allowed && digit;
}

// https anywhere, plain http only towards this machine.
bool allowedAddress(const QUrl& url) {
    if (!url.isValid() || url.isRelative() || url.host().isEmpty()) {
        return false;
    }
    const QString scheme = url.scheme().toLower();
    return scheme == QLatin1String("https") ||
           (scheme == QLatin1String("http") && WebAccess::isLoopbackHost(url.host()));
}

void checkItem(const AppcastItem& item) {
    require(wellFormedVersion(item.version), "an accepted item has a well-formed version");
    require(!item.displayVersion.isEmpty() && item.displayVersion.size() <= 64, "display version 1-64 long");
    require(item.title.size() <= Appcast::maxFieldLength, "title bounded");
    require(allowedAddress(item.downloadURL), "download address allowed");
    require(item.infoURL.isEmpty() || allowedAddress(item.infoURL), "info address empty or allowed");
    require(!item.location().isEmpty(), "an item always has somewhere to go");
}

// compareVersions is an ordering: a sign, antisymmetric, and transitive.
void checkOrdering(const std::vector<QString>& versions) {
    for (const QString& a : versions) {
        require(Appcast::compareVersions(a, a) == 0, "a version equals itself");
        for (const QString& b : versions) {
            const int ab = Appcast::compareVersions(a, b);
            require(ab >= -1 && ab <= 1, "compareVersions returns -1, 0 or 1");
            require(ab == -Appcast::compareVersions(b, a), "compareVersions is antisymmetric");
            for (const QString& c : versions) {
                const int bc = Appcast::compareVersions(b, c);
                if (ab <= 0 && bc <= 0) {
                    const int ac = Appcast::compareVersions(a, c);
                    require(ac <= 0, "compareVersions is transitive");
                    require(ac < 0 || (ab == 0 && bc == 0), "an older version stays older");
                }
            }
        }
    }
}

void checkNewest(const std::vector<AppcastItem>& items, const QString& installed) {
    const std::optional<AppcastItem> newest = Appcast::newestUpdate(items, installed);
    for (const AppcastItem& item : items) {
        if (newest) {
            require(Appcast::compareVersions(item.version, newest->version) <= 0,
                    "nothing newer than the update");
        } else {
            require(Appcast::compareVersions(item.version, installed) <= 0, "no update means nothing newer");
        }
    }
    if (newest) {
        require(Appcast::compareVersions(newest->version, installed) > 0,
                "the update is newer than installed");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const Appcast::Parsed parsed = Appcast::parse(FuzzSupport::bytes(data, size));
    if (!parsed.accepted()) {
        require(parsed.items.empty(), "a refused feed has no items");
        return 0;
    }
    require(parsed.items.size() <= Appcast::maxItems, "at most maxItems items");
    std::vector<QString> versions;
    for (const AppcastItem& item : parsed.items) {
        checkItem(item);
        if (versions.size() < 6) {
            versions.push_back(item.version);
            // Titles are free text: the comparison must stay an ordering on any text.
            versions.push_back(item.title.left(64));
        }
    }
    checkOrdering(versions);
    checkNewest(parsed.items, QStringLiteral("1.0"));
    return 0;
}
