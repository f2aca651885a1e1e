#include "Quillora/Services/Appcast.h"

#include "Quillora/Services/WebAccess.h"

#include <QRegularExpression>
#include <QXmlStreamReader>
#include <variant>

namespace Appcast {

namespace {

// The appcast vocabulary's XML namespace, as every appcast feed declares it.
const QString appcastNamespace = QStringLiteral("http://www.andymatuschak.org/xml-namespaces/sparkle");

// Element depths: <rss> 1, <channel> 2, <item> 3, an item's fields 4.
constexpr int itemDepth = 3;
constexpr int fieldDepth = 4;

struct RawItem {
    QString title;
    QString version;
    QString shortVersion;
    QString link;
    bool hasEnclosure = false;
    QString enclosureURL;
    QString enclosureVersion;
    QString enclosureShortVersion;
    QString os;
    std::vector<AppcastEnclosure> enclosures;
};

enum class Field { none, title, version, shortVersion, link };

QString* fieldOf(RawItem& item, Field field) {
    switch (field) {
    case Field::title:
        return &item.title;
    case Field::version:
        return &item.version;
    case Field::shortVersion:
        return &item.shortVersion;
    case Field::link:
        return &item.link;
    case Field::none:
        break;
    }
    return nullptr;
}

bool validVersion(const QString& version) {
    static const QRegularExpression pattern(QStringLiteral("^[0-9A-Za-z][0-9A-Za-z._+~-]{0,63}$"));
    return pattern.match(version).hasMatch() && version.contains(QRegularExpression(QStringLiteral("[0-9]")));
}

bool validDisplayVersion(const QString& version) {
    if (version.isEmpty() || version.size() > 64) {
        return false;
    }
    return std::all_of(version.begin(), version.end(), [](QChar c) { return c.isPrint(); });
}

// An item that passed every check, none for an item meant for another system, or the reason to refuse.
std::variant<std::monostate, AppcastItem, QString> finish(const RawItem& raw, int number) {
    if (!raw.os.trimmed().isEmpty() && raw.os.trimmed() != QLatin1String("linux")) {
        return std::monostate{};
    }
    AppcastItem item;
    item.title = raw.title.trimmed();
    item.version = raw.version.trimmed().isEmpty() ? raw.enclosureVersion.trimmed() : raw.version.trimmed();
    if (item.version.isEmpty()) {
        return QStringLiteral("la voce %1 non ha sparkle:version").arg(number);
    }
    if (!validVersion(item.version)) {
        return QStringLiteral("la voce %1 ha una versione non valida (\"%2\")")
            .arg(number)
            .arg(item.version.left(64));
    }
    item.displayVersion = raw.shortVersion.trimmed();
    if (item.displayVersion.isEmpty()) {
        item.displayVersion = raw.enclosureShortVersion.trimmed();
    }
    if (item.displayVersion.isEmpty()) {
        item.displayVersion = item.version;
    }
    if (!validDisplayVersion(item.displayVersion)) {
        return QStringLiteral("la voce %1 ha una versione da mostrare non valida").arg(number);
    }
    if (!raw.hasEnclosure || raw.enclosureURL.trimmed().isEmpty()) {
        return QStringLiteral("la voce %1 non ha un enclosure con l'indirizzo del download").arg(number);
    }
    const WebAccess::Address download = WebAccess::check(raw.enclosureURL);
    if (!download.usable()) {
        return QStringLiteral("la voce %1 ha un indirizzo di download non ammesso: %2")
            .arg(number)
            .arg(download.problem);
    }
    item.downloadURL = download.url;
    item.enclosures = raw.enclosures;
    if (!raw.link.trimmed().isEmpty()) {
        const WebAccess::Address link = WebAccess::check(raw.link);
        if (!link.usable()) {
            return QStringLiteral("la voce %1 ha un link non ammesso: %2").arg(number).arg(link.problem);
        }
        item.infoURL = link.url;
    }
    return item;
}

// Adds one enclosure of an item; a download address that breaks the rules refuses the feed.
std::optional<QString> addEnclosure(RawItem& item, const QXmlStreamAttributes& attributes, int number) {
    if (item.enclosures.size() >= std::size_t(maxEnclosures)) {
        return QStringLiteral("la voce %1 ha più di %2 enclosure").arg(number).arg(maxEnclosures);
    }
    AppcastEnclosure enclosure;
    const QString url = attributes.value(QString(), QStringLiteral("url")).toString().trimmed();
    if (url.isEmpty()) {
        return std::nullopt; // the item's own check reports a missing address
    }
    const WebAccess::Address download = WebAccess::check(url);
    if (!download.usable()) {
        return QStringLiteral("la voce %1 ha un indirizzo di download non ammesso: %2")
            .arg(number)
            .arg(download.problem);
    }
    enclosure.url = download.url;
    const QString length = attributes.value(QString(), QStringLiteral("length")).toString().trimmed();
    if (!length.isEmpty()) {
        bool ok = false;
        enclosure.length = length.toLongLong(&ok);
        if (!ok || enclosure.length < 0) {
            return QStringLiteral("la voce %1 ha una lunghezza non valida").arg(number);
        }
    }
    enclosure.edSignature =
        attributes.value(appcastNamespace, QStringLiteral("edSignature")).toString().trimmed();
    item.enclosures.push_back(enclosure);
    return std::nullopt;
}

Parsed refused(const QString& why) {
    return {{}, why};
}

// One piece of a version: a run of digits or a run of letters.
struct VersionPart {
    bool number = false;
    QString text;
};

std::vector<VersionPart> versionParts(const QString& version) {
    std::vector<VersionPart> parts;
    for (const QChar c : version) {
        const bool digit = c.isDigit();
        if (!digit && !c.isLetter()) {
            parts.push_back({}); // a separator ends the current run
            continue;
        }
        if (parts.empty() || parts.back().text.isEmpty() || parts.back().number != digit) {
            parts.push_back({digit, {}});
        }
        parts.back().text += c;
    }
    std::erase_if(parts, [](const VersionPart& part) { return part.text.isEmpty(); });
    return parts;
}

QString withoutLeadingZeros(const QString& digits) {
    qsizetype first = 0;
    while (first < digits.size() - 1 && digits[first] == QLatin1Char('0')) {
        ++first;
    }
    return digits.mid(first);
}

// Numbers of any length, compared without overflow.
int compareNumbers(const QString& a, const QString& b) {
    const QString x = withoutLeadingZeros(a);
    const QString y = withoutLeadingZeros(b);
    if (x.size() != y.size()) {
        return x.size() < y.size() ? -1 : 1;
    }
    return x.compare(y);
}

bool isZero(const VersionPart& part) {
    return part.number && withoutLeadingZeros(part.text) == QLatin1String("0");
}

// What the parts left over after the shorter version ended do to the longer one: +1 newer, -1 older.
int weightOfRest(const std::vector<VersionPart>& parts, std::size_t from) {
    while (from < parts.size() && isZero(parts[from])) {
        ++from;
    }
    if (from == parts.size()) {
        return 0;
    }
    return parts[from].number ? 1 : -1;
}

} // namespace

Parsed parse(QByteArrayView xml) {
    if (xml.size() > maxBytes) {
        return refused(QStringLiteral("il feed è troppo grande (oltre %1 byte)").arg(maxBytes));
    }
    QXmlStreamReader reader(xml.toByteArray());
    Parsed parsed;
    int depth = 0;
    bool sawChannel = false;
    bool inChannel = false;
    int itemCount = 0;
    std::optional<RawItem> item;
    Field field = Field::none;

    while (!reader.atEnd()) {
        switch (reader.readNext()) {
        case QXmlStreamReader::DTD:
            // Entity declarations are the way to blow a small document up; a feed has no use for them.
            return refused(QStringLiteral("il feed contiene una dichiarazione DTD"));
        case QXmlStreamReader::EntityReference:
            return refused(QStringLiteral("il feed contiene un'entità non risolta"));
        case QXmlStreamReader::StartElement: {
            if (++depth > maxDepth) {
                return refused(QStringLiteral("il feed è annidato oltre %1 livelli").arg(maxDepth));
            }
            const QStringView name = reader.name();
            const bool plain = reader.namespaceUri().isEmpty();
            if (field != Field::none) {
                return refused(
                    QStringLiteral("la voce %1 ha un campo che contiene altri elementi").arg(itemCount));
            }
            if (depth == 1 && (!plain || name != QLatin1String("rss"))) {
                return refused(
                    QStringLiteral("l'elemento principale è <%1> invece di <rss>").arg(name.left(64)));
            }
            if (depth == 2 && plain && name == QLatin1String("channel")) {
                sawChannel = inChannel = true;
            } else if (depth == itemDepth && inChannel && plain && name == QLatin1String("item")) {
                if (++itemCount > maxItems) {
                    return refused(QStringLiteral("il feed ha più di %1 voci").arg(maxItems));
                }
                item = RawItem{};
            } else if (depth == fieldDepth && item) {
                if (plain && name == QLatin1String("title")) {
                    field = Field::title;
                } else if (plain && name == QLatin1String("link")) {
                    field = Field::link;
                } else if (!plain && reader.namespaceUri() == appcastNamespace &&
                           name == QLatin1String("version")) {
                    field = Field::version;
                } else if (!plain && reader.namespaceUri() == appcastNamespace &&
                           name == QLatin1String("shortVersionString")) {
                    field = Field::shortVersion;
                } else if (plain && name == QLatin1String("enclosure")) {
                    const QXmlStreamAttributes attributes = reader.attributes();
                    for (const QXmlStreamAttribute& attribute : attributes) {
                        if (attribute.value().size() > maxFieldLength) {
                            return refused(
                                QStringLiteral("la voce %1 ha un attributo troppo lungo").arg(itemCount));
                        }
                    }
                    if (std::optional<QString> why = addEnclosure(*item, attributes, itemCount)) {
                        return refused(*why);
                    }
                }
                if (plain && name == QLatin1String("enclosure") && !item->hasEnclosure) {
                    const QXmlStreamAttributes attributes = reader.attributes();
                    item->hasEnclosure = true;
                    item->enclosureURL = attributes.value(QString(), QStringLiteral("url")).toString();
                    item->enclosureVersion =
                        attributes.value(appcastNamespace, QStringLiteral("version")).toString();
                    item->enclosureShortVersion =
                        attributes.value(appcastNamespace, QStringLiteral("shortVersionString")).toString();
                    item->os = attributes.value(appcastNamespace, QStringLiteral("os")).toString();
                }
                if (QString* text = fieldOf(*item, field)) {
                    text->clear(); // a repeated field: the last one counts
                }
            }
            break;
        }
        case QXmlStreamReader::Characters:
            if (QString* text = item ? fieldOf(*item, field) : nullptr) {
                *text += reader.text();
                if (text->size() > maxFieldLength) {
                    return refused(QStringLiteral("la voce %1 ha un campo troppo lungo").arg(itemCount));
                }
            }
            break;
        case QXmlStreamReader::EndElement:
            if (depth == fieldDepth) {
                field = Field::none;
            } else if (depth == itemDepth && item) {
                auto result = finish(*item, itemCount);
                if (const QString* why = std::get_if<QString>(&result)) {
                    return refused(*why);
                }
                if (AppcastItem* accepted = std::get_if<AppcastItem>(&result)) {
                    parsed.items.push_back(std::move(*accepted));
                }
                item.reset();
            } else if (depth == 2) {
                inChannel = false;
            }
            --depth;
            break;
        default:
            break;
        }
    }
    if (reader.hasError()) {
        return refused(QStringLiteral("il feed non è XML valido (riga %1, colonna %2: %3)")
                           .arg(reader.lineNumber())
                           .arg(reader.columnNumber())
                           .arg(reader.errorString()));
    }
    if (!sawChannel) {
        return refused(QStringLiteral("il feed non ha un <channel>"));
    }
    return parsed;
}

std::optional<AppcastEnclosure> enclosureFor(const AppcastItem& item, PackageKind kind, const QString& arch) {
    if (arch.isEmpty()) {
        return std::nullopt;
    }
    const QString ending = kind == PackageKind::deb ? QLatin1Char('_') + arch + QStringLiteral(".deb")
                                                    : QLatin1Char('-') + arch + QStringLiteral(".tar.gz");
    for (const AppcastEnclosure& enclosure : item.enclosures) {
        if (enclosure.url.fileName().endsWith(ending)) {
            return enclosure;
        }
    }
    return std::nullopt;
}

int compareVersions(const QString& a, const QString& b) {
    const std::vector<VersionPart> x = versionParts(a);
    const std::vector<VersionPart> y = versionParts(b);
    const std::size_t common = std::min(x.size(), y.size());
    for (std::size_t i = 0; i < common; ++i) {
        if (x[i].number != y[i].number) {
            return x[i].number ? 1 : -1;
        }
        const int order = x[i].number ? compareNumbers(x[i].text, y[i].text)
                                      : x[i].text.compare(y[i].text, Qt::CaseInsensitive);
        if (order != 0) {
            return order < 0 ? -1 : 1;
        }
    }
    if (x.size() > common) {
        return weightOfRest(x, common);
    }
    return -weightOfRest(y, common);
}

std::optional<AppcastItem> newestUpdate(const std::vector<AppcastItem>& items, const QString& installed) {
    const AppcastItem* newest = nullptr;
    for (const AppcastItem& item : items) {
        if (compareVersions(item.version, installed) > 0 &&
            (newest == nullptr || compareVersions(item.version, newest->version) > 0)) {
            newest = &item;
        }
    }
    return newest != nullptr ? std::optional<AppcastItem>(*newest) : std::nullopt;
}

} // namespace Appcast
