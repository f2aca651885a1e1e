// The update feed (read, refused, versions compared) and update checks against a feed on 127.0.0.1.
#include "AppTestSupport.h"
#include "Quillora/Services/Appcast.h"
#include "Quillora/Services/UpdateManager.h"

namespace {

QByteArray item(const QByteArray& version, const QByteArray& url = "https://example.org/Quillora.AppImage") {
    return "<item><sparkle:version>" + version + "</sparkle:version><enclosure url=\"" + url + "\"/></item>";
}

TEST(Appcast, ReadsItemsInEitherFormForThisSystem) {
    const Appcast::Parsed parsed = Appcast::parse(rssFeed(R"(
    <item>
      <link>https://example.org/quillora/2.0</link>
      <sparkle:version>200</sparkle:version>
      <sparkle:shortVersionString> 2.0 </sparkle:shortVersionString>
      <description><![CDATA[<p>Novità</p>]]></description>
      <enclosure url="https://example.org/Quillora-2.0.AppImage" length="123"/>
    </item>
    <item><enclosure url="https://example.org/Quillora-1.9.AppImage" sparkle:version="190"
                     sparkle:shortVersionString="1.9" sparkle:os="linux"/></item>
    <item><enclosure url="https://example.org/Quillora-3.0.dmg" sparkle:version="300" sparkle:os="macos"/></item>
    <item><sparkle:version>x</sparkle:version><enclosure sparkle:os="windows"/></item>)"));
    ASSERT_TRUE(parsed.accepted()) << parsed.problem.toStdString();
    ASSERT_EQ(parsed.items.size(), 2u);
    EXPECT_EQ(parsed.items[0].version + " " + parsed.items[0].displayVersion, "200 2.0");
    EXPECT_EQ(parsed.items[0].location(), QUrl("https://example.org/quillora/2.0"));
    EXPECT_EQ(parsed.items[0].downloadURL, QUrl("https://example.org/Quillora-2.0.AppImage"));
    EXPECT_EQ(parsed.items[1].displayVersion, "1.9");
    EXPECT_EQ(parsed.items[1].location(), QUrl("https://example.org/Quillora-1.9.AppImage")); // no link
    EXPECT_TRUE(Appcast::parse(rssFeed("")).accepted()); // nothing announced
}

TEST(Appcast, RefusesMalformedAndHostileFeeds) {
    QByteArray deep = "<x/>", manyItems;
    for (int level = 0; level < 40; ++level) {
        deep = "<x>" + deep + "</x>";
    }
    for (int i = 0; i <= Appcast::maxItems; ++i) {
        manyItems += item("1." + QByteArray::number(i));
    }
    const std::pair<const char*, QByteArray> cases[] = {
        {"not XML", "this is not a feed"},
        {"cut short", rssFeed(item("2.0")).left(150)},
        {"wrong root", "<feed><channel/></feed>"},
        {"no channel", "<rss version=\"2.0\"/>"},
        {"entity declarations", R"(<?xml version="1.0"?><!DOCTYPE rss [<!ENTITY a "aaaaaaaaaa">
            <!ENTITY b "&a;&a;&a;&a;&a;&a;&a;&a;">]><rss><channel><title>&b;</title></channel></rss>)"},
        {"deep nesting", rssFeed("<item>" + deep + "</item>")},
        {"too big", rssFeed(QByteArray(Appcast::maxBytes, ' '))},
        {"too many items", rssFeed(manyItems)},
        {"no version", rssFeed("<item><enclosure url=\"https://example.org/a\"/></item>")},
        {"version with no digit", rssFeed(item("latest"))},
        {"element inside a field", rssFeed("<item><sparkle:version><b>2</b></sparkle:version></item>")},
        {"no enclosure", rssFeed("<item><sparkle:version>2.0</sparkle:version></item>")},
        {"download not https", rssFeed(item("2.0", "http://example.org/Quillora.AppImage"))},
        {"link not https", rssFeed("<item><link>ftp://example.org/</link>" + item("2.0").mid(6))},
        {"field too long",
         rssFeed("<item><title>" + QByteArray(Appcast::maxFieldLength + 1, 't') + "</title></item>")},
        {"undeclared prefix",
         "<rss><channel><item><sparkle:version>2</sparkle:version></item></channel></rss>"},
    };
    for (const auto& [what, xml] : cases) {
        const Appcast::Parsed parsed = Appcast::parse(xml);
        EXPECT_FALSE(parsed.accepted() || !parsed.items.empty() || parsed.problem.isEmpty()) << what;
    }
    EXPECT_TRUE(Appcast::parse(rssFeed(QByteArray(Appcast::maxBytes - 2000, ' '))).accepted());
}

TEST(Appcast, ComparesVersions) {
    const std::tuple<const char*, const char*, int> cases[] = {
        {"1.0", "1.0.0", 0},   {"010", "10", 0},
        {"1.0.1", "1.0", 1},   {"1.10", "1.9", 1},
        {"2.0", "10.0", -1},   {"1.0b1", "1.0", -1},
        {"1.0b2", "1.0b1", 1}, {"1.0rc1", "1.0beta9", 1},
        {"1.1", "1.b", 1},     {"2", "dev", 1},
        {"1.0-1", "1.0", 1},   {"99999999999999999999999.0", "1.0", 1}, // past any integer type
    };
    for (const auto& [a, b, expected] : cases) {
        EXPECT_EQ(Appcast::compareVersions(a, b), expected) << a << " vs " << b;
        EXPECT_EQ(Appcast::compareVersions(b, a), -expected) << b << " vs " << a;
    }
}

class Updates : public testing::Test {
protected:
    void SetUp() override {
        QSettings().remove("QuilloraFeedOverride");
        server.setReply("/appcast.xml", {200, appcastFeed("150", "1.5")});
    }

    // A manager whose first check comes after `firstCheck`, its announcements recorded in order.
    std::unique_ptr<UpdateManager> makeManager(std::chrono::milliseconds firstCheck = 1ms,
                                               Updater::Schedule schedule = {}) {
        auto manager = std::make_unique<UpdateManager>(UpdateManager::Options{firstCheck, schedule});
        QObject::connect(manager.get(), &UpdateManager::availableVersionChanged,
                         [this](const QString& version) { events.append("available " + version); });
        manager->onUpdateFound = [this, m = manager.get()](const QString& version) {
            events.append("found " + version + " (published: " + m->availableVersion() + ")");
        };
        manager->controller().setDialogs(&dialogs);
        return manager;
    }

    LocalHttpServer server;
    std::unique_ptr<InfoIni> info = std::make_unique<InfoIni>(QStringList{
        "CFBundleShortVersionString=1.4", "CFBundleVersion=140", "SUFeedURL=" + server.url("/appcast.xml")});
    QStringList events;
    FakeDialogs dialogs;
};

TEST_F(Updates, UserInitiatedCheckAnswersInADialogOnePerSession) {
    auto manager = makeManager(1h);
    manager->controller().checkForUpdates();
    ASSERT_TRUE(waitUntil([&] { return !dialogs.shown.isEmpty(); }));
    EXPECT_EQ(dialogs.shown, QStringList{"update 1.5"});
    EXPECT_EQ(events, QStringList{"available 1.5"}); // published, but the updater shows it itself
    manager->controller().checkForUpdates();         // the dialog waits for an answer: no second check
    runEventsFor(50ms);
    EXPECT_EQ(server.requests.size(), 1);
    dialogs.answerUpdate(UpdateDialogs::Choice::later);
    EXPECT_EQ(manager->availableVersion(), "");

    server.setReply("/appcast.xml", {200, appcastFeed("140", "1.4")});
    manager->controller().checkForUpdates();
    ASSERT_TRUE(waitUntil([&] { return dialogs.shown.size() == 2; }));
    EXPECT_EQ(dialogs.shown.last(), "up to date 1.4");
    server.setReply("/appcast.xml", {503, ""});
    manager->controller().checkForUpdates();
    ASSERT_TRUE(waitUntil([&] { return dialogs.shown.size() == 3; }));
    EXPECT_EQ(dialogs.shown.last(), "failed il server del feed ha risposto con lo stato 503");
    EXPECT_FALSE(manager->controller().sessionInProgress());

    // An address that is neither https nor this machine is not used.
    info = std::make_unique<InfoIni>(QStringList{"CFBundleVersion=140", "SUFeedURL=http://192.0.2.1/a.xml"});
    manager->controller().checkForUpdates();
    EXPECT_TRUE(dialogs.shown.last().startsWith("failed indirizzo del feed non utilizzabile"));
    EXPECT_EQ(server.requests.size(), 3);
}

// Quiet checks follow the wall clock and announce each newer release once (published first); chosen from
// the menu, the waiting release is shown without a new check, and its install's failure shown and logged.
TEST_F(Updates, ScheduledQuietChecksAnnounceEachNewReleaseOnce) {
    server.setReply("/appcast.xml", {200, appcastFeed("140", "1.4")});
    QDateTime now = QDateTime::fromSecsSinceEpoch(1'800'000'000, Qt::UTC);
    Updater::Schedule schedule;
    schedule.pollInterval = 5ms;
    schedule.now = [&now] { return now; };
    auto manager = makeManager(1h, schedule);
    now = now.addSecs(24 * 3600 - 60);
    runEventsFor(40ms);
    EXPECT_TRUE(server.requests.isEmpty());
    now = now.addSecs(60);
    ASSERT_TRUE(waitUntil([&] { return server.requests.size() >= 1; }));
    server.setReply("/appcast.xml", {200, appcastFeed("150", "1.5")});
    now = now.addSecs(24 * 3600);
    ASSERT_TRUE(waitUntil([&] { return events.size() == 2; }));
    EXPECT_EQ(events, (QStringList{"available 1.5", "found 1.5 (published: 1.5)"}));
    EXPECT_TRUE(dialogs.shown.isEmpty()); // a quiet check leaves the announcement to the application
    now = now.addSecs(24 * 3600);
    ASSERT_TRUE(waitUntil([&] { return server.requests.size() >= 3; }));
    runEventsFor(30ms);
    EXPECT_EQ(events.size(), 2);
    server.setReply("/beta.xml", {200, appcastFeed("151", "1.5.1")});
    QSettings().setValue("QuilloraFeedOverride", server.url("/beta.xml"));
    now = now.addSecs(24 * 3600);
    ASSERT_TRUE(waitUntil([&] { return events.size() == 4; }));
    EXPECT_EQ(events.mid(2), (QStringList{"available 1.5.1", "found 1.5.1 (published: 1.5.1)"}));
    EXPECT_EQ(server.requests.last().path, "/beta.xml");

    const LogSince log; // this feed offers no package for this system
    manager->controller().checkForUpdates();
    EXPECT_EQ(dialogs.shown, QStringList{"update 1.5.1"});
    ASSERT_TRUE(dialogs.answerUpdate);
    dialogs.answerUpdate(UpdateDialogs::Choice::install);
    ASSERT_EQ(dialogs.shown.size(), 2);
    EXPECT_TRUE(dialogs.shown[1].startsWith("install failed il feed non offre il pacchetto .deb"));
    EXPECT_EQ(log.count("aggiornamento non riuscita: il feed non offre"), 1u);
    EXPECT_EQ(events.mid(4), QStringList{"available "}); // withdrawn, not announced twice
    EXPECT_EQ(server.requests.size(), 4);
}

TEST_F(Updates, AManagerGoneBeforeOrDuringItsCheckHearsNothingMore) {
    makeManager(30ms).reset();
    runEventsFor(100ms);
    EXPECT_TRUE(server.requests.isEmpty());
    server.setReply("/appcast.xml", {200, "", "", true});
    auto manager = makeManager();
    ASSERT_TRUE(waitUntil([&] { return server.requests.size() >= 1; }));
    manager.reset();
    runEventsFor(30ms);
    EXPECT_TRUE(events.isEmpty());
}

} // namespace
