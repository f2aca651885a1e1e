// The update feed. Input: the feed document as downloaded.
#include "Quillora/Services/Appcast.h"
#include "FuzzSupport.h"

using FuzzSupport::require;

namespace {

// The parser's own checks are proven in the unit tests; here, whatever the feed, an accepted item stays
// within its bounds and has somewhere to go.
void checkItem(const AppcastItem& item) {
    require(!item.version.isEmpty() && item.version.size() <= 64, "version 1-64 long");
    require(!item.displayVersion.isEmpty() && item.displayVersion.size() <= 64, "display version 1-64 long");
    require(item.title.size() <= Appcast::maxFieldLength, "title bounded");
    require(item.downloadURL.isValid() && !item.location().isEmpty(), "an item always has somewhere to go");
    require(item.enclosures.size() <= std::size_t(Appcast::maxEnclosures), "enclosures bounded");
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
