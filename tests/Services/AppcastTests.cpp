// The update feed: what is read from it, what is refused, and how versions compare.
#include "Quillora/Services/Appcast.h"

#include <gtest/gtest.h>

namespace {

QByteArray feed(const QByteArray& items) {
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<rss version=\"2.0\" "
           "xmlns:sparkle=\"http://www.andymatuschak.org/xml-namespaces/"
           "sparkle\">\n<channel><title>Quillora</title>" +
           items + "</channel></rss>\n";
}

QByteArray item(const QByteArray& version, const QByteArray& url = "https://example.org/Quillora.AppImage") {
    return "<item><title>Quillora " + version + "</title><sparkle:version>" + version +
           "</sparkle:version><enclosure url=\"" + url +
           "\" length=\"1\" type=\"application/octet-stream\"/></item>";
}

TEST(Appcast, ReadsItemsInEitherForm) {
    const Appcast::Parsed parsed = Appcast::parse(feed(R"(
    <item>
      <title>Quillora 2.0</title>
      <link>https://example.org/quillora/2.0</link>
      <sparkle:version>200</sparkle:version>
      <sparkle:shortVersionString> 2.0 </sparkle:shortVersionString>
      <description><![CDATA[<p>Novità</p>]]></description>
      <enclosure url="https://example.org/Quillora-2.0.AppImage" length="123" type="application/octet-stream"/>
    </item>
    <item>
      <title>Quillora 1.9</title>
      <enclosure url="https://example.org/Quillora-1.9.AppImage" sparkle:version="190"
                 sparkle:shortVersionString="1.9" sparkle:os="linux"/>
    </item>
    <item>
      <title>Quillora 3.0 for another system</title>
      <enclosure url="https://example.org/Quillora-3.0.dmg" sparkle:version="300" sparkle:os="macos"/>
    </item>
    <item><sparkle:version>x</sparkle:version><enclosure sparkle:os="windows"/></item>)"));
    ASSERT_TRUE(parsed.accepted()) << parsed.problem.toStdString();
    ASSERT_EQ(parsed.items.size(), 2u);
    EXPECT_EQ(parsed.items[0].version, "200");
    EXPECT_EQ(parsed.items[0].displayVersion, "2.0");
    EXPECT_EQ(parsed.items[0].location(), QUrl("https://example.org/quillora/2.0"));
    EXPECT_EQ(parsed.items[0].downloadURL, QUrl("https://example.org/Quillora-2.0.AppImage"));
    EXPECT_EQ(parsed.items[1].displayVersion, "1.9");
    EXPECT_EQ(parsed.items[1].location(), QUrl("https://example.org/Quillora-1.9.AppImage"));
    EXPECT_EQ(Appcast::newestUpdate(parsed.items, "150")->version, "200");
    EXPECT_FALSE(Appcast::newestUpdate(parsed.items, "200"));
    EXPECT_TRUE(Appcast::parse(feed("")).accepted()); // nothing announced
}

TEST(Appcast, RefusesMalformedAndHostileFeeds) {
    QByteArray deep = "<x>";
    for (int level = 0; level < 40; ++level) {
        deep = "<x>" + deep + "</x>";
    }
    QByteArray manyItems;
    for (int i = 0; i < Appcast::maxItems + 1; ++i) {
        manyItems += item("1." + QByteArray::number(i));
    }
    const QByteArray laughs = R"(<?xml version="1.0"?>
<!DOCTYPE rss [<!ENTITY a "aaaaaaaaaa"><!ENTITY b "&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;">]>
<rss><channel><title>&b;</title></channel></rss>)";

    const QList<std::pair<const char*, QByteArray>> cases{
        {"not XML", "this is not a feed"},
        {"cut short", feed(item("2.0")).left(200)},
        {"wrong root", "<feed><channel/></feed>"},
        {"no channel", "<rss version=\"2.0\"/>"},
        {"entity declarations", laughs},
        {"deep nesting", feed("<item>" + deep + "</item>")},
        {"too big", feed(QByteArray(Appcast::maxBytes, ' '))},
        {"too many items", feed(manyItems)},
        {"no version", feed("<item><enclosure url=\"https://example.org/a\"/></item>")},
        {"version with no digit", feed(item("latest"))},
        {"element inside a field", feed("<item><sparkle:version><b>2</b></sparkle:version></item>")},
        {"no enclosure", feed("<item><sparkle:version>2.0</sparkle:version></item>")},
        {"download not https", feed(item("2.0", "http://example.org/Quillora.AppImage"))},
        {"link not https", feed("<item><link>ftp://example.org/</link>" + item("2.0").mid(6))},
        {"field too long",
         feed("<item><title>" + QByteArray(Appcast::maxFieldLength + 1, 't') + "</title></item>")},
        {"undeclared prefix",
         "<rss><channel><item><sparkle:version>2</sparkle:version></item></channel></rss>"},
    };
    for (const auto& [what, xml] : cases) {
        const Appcast::Parsed parsed = Appcast::parse(xml);
        EXPECT_FALSE(parsed.accepted()) << what;
        EXPECT_TRUE(parsed.items.empty()) << what;
        EXPECT_FALSE(parsed.problem.isEmpty()) << what;
    }
    EXPECT_TRUE(Appcast::parse(feed(QByteArray(Appcast::maxBytes - 2000, ' '))).accepted());
}

TEST(Appcast, ComparesVersions) {
    const QList<std::tuple<const char*, const char*, int>> cases{
        {"1.0", "1.0.0", 0},
        {"010", "10", 0},
        {"1.0.1", "1.0", 1},
        {"1.10", "1.9", 1},
        {"2.0", "10.0", -1},
        {"1.0b1", "1.0", -1},
        {"1.0b2", "1.0b1", 1},
        {"1.0rc1", "1.0beta9", 1},
        {"1.1", "1.b", 1},
        {"2", "dev", 1},
        {"99999999999999999999999.0", "1.0", 1},
        {"1.0-1", "1.0", 1},
    };
    for (const auto& [a, b, expected] : cases) {
        EXPECT_EQ(Appcast::compareVersions(a, b), expected) << a << " vs " << b;
        EXPECT_EQ(Appcast::compareVersions(b, a), -expected) << b << " vs " << a;
    }
}

} // namespace
