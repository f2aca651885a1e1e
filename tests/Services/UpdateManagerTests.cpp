// Update checks against a feed on 127.0.0.1: quiet checks announce through the application, checks the
// user starts answer in dialogs, the schedule follows the wall clock, and unsafe addresses are refused.
#include "AppTestSupport.h"
#include "Quillora/Services/UpdateManager.h"

#include <QSettings>
#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;

class Updates : public testing::Test {
protected:
    void SetUp() override {
        QSettings().remove("QuilloraFeedOverride");
        info = std::make_unique<InfoIni>(QStringList{"CFBundleShortVersionString=1.4", "CFBundleVersion=140",
                                                     "SUFeedURL=" + server.url("/appcast.xml")});
        serve("/appcast.xml", appcastFeed("150", "1.5"));
    }

    void serve(const QByteArray& path, const QByteArray& xml, int status = 200) {
        server.setReply(path, {status, "application/rss+xml", xml, {}});
    }

    // A manager whose first check comes almost at once and whose events are recorded in order.
    std::unique_ptr<UpdateManager> makeManager(std::chrono::milliseconds firstCheck = 1ms,
                                               Updater::Schedule schedule = {}) {
        auto manager =
            std::make_unique<UpdateManager>(UpdateManager::Options{firstCheck, std::move(schedule)});
        QObject::connect(manager.get(), &UpdateManager::availableVersionChanged,
                         [this](const QString& version) { events.append("available " + version); });
        manager->onUpdateFound = [this, m = manager.get()](const QString& version) {
            // The version is published before the application hears of it.
            events.append("found " + version + " (published: " + m->availableVersion() + ")");
        };
        manager->controller().setDialogs(&dialogs);
        return manager;
    }

    bool waitForRequests(qsizetype count) {
        return waitUntil([&] { return server.requests().size() >= count; });
    }

    LocalHttpServer server;
    std::unique_ptr<InfoIni> info;
    QStringList events;
    FakeDialogs dialogs;
};

TEST_F(Updates, NewerReleaseIsPublishedThenAnnounced) {
    auto manager = makeManager();
    ASSERT_TRUE(waitUntil([&] { return !events.isEmpty(); }));
    spin(50ms);
    EXPECT_EQ(events, (QStringList{"available 1.5", "found 1.5 (published: 1.5)"}));
    EXPECT_EQ(manager->availableVersion(), "1.5");
    EXPECT_TRUE(dialogs.shown.isEmpty()); // a quiet check leaves the announcement to the application
    EXPECT_EQ(server.requests().first().path, "/appcast.xml");

    // The user chooses to update: the updater shows the waiting release without checking again. This feed
    // offers no package for this system: the failure is shown and logged, and the session is over.
    manager->controller().checkForUpdates();
    EXPECT_EQ(dialogs.shown, QStringList{"update 1.5"});
    EXPECT_EQ(events.size(), 2); // no second announcement
    ASSERT_TRUE(dialogs.answerUpdate);
    dialogs.answerUpdate(UpdateDialogs::Choice::install);
    ASSERT_EQ(dialogs.shown.size(), 2);
    EXPECT_TRUE(dialogs.shown[1].startsWith("install failed il feed non offre il pacchetto .deb"));
    EXPECT_TRUE(logText().contains(" Installazione dell'aggiornamento non riuscita: il feed non offre"));
    EXPECT_EQ(manager->availableVersion(), "");
    EXPECT_EQ(events.last(), "available ");
    EXPECT_EQ(server.requests().size(), 1);
}

TEST_F(Updates, TheSameVersionDoesNothingAndTheFeedOverrideIsHonoured) {
    serve("/appcast.xml", appcastFeed("140", "1.4"));
    const QString logBefore = logText();
    auto manager = makeManager();
    ASSERT_TRUE(waitUntil([&] { return logText().size() > logBefore.size(); }));
    spin(30ms);
    EXPECT_TRUE(events.isEmpty());

    serve("/beta.xml", appcastFeed("160", "1.6 beta"));
    QSettings().setValue("QuilloraFeedOverride", server.url("/beta.xml"));
    manager = makeManager();
    ASSERT_TRUE(waitUntil([&] { return events.size() == 2; }));
    EXPECT_EQ(server.requests().last().path, "/beta.xml");
}

TEST_F(Updates, UserInitiatedCheckAnswersInADialog) {
    auto manager = makeManager(1h);
    manager->controller().checkForUpdates();
    ASSERT_TRUE(waitUntil([&] { return !dialogs.shown.isEmpty(); }));
    EXPECT_EQ(dialogs.shown, QStringList{"update 1.5"});
    // Shown by the updater itself: published, but not for the application to announce.
    EXPECT_EQ(events, QStringList{"available 1.5"});
    // While the dialog waits for an answer the session stays open: no second check.
    manager->controller().checkForUpdates();
    spin(50ms);
    EXPECT_EQ(server.requests().size(), 1);
    dialogs.answerUpdate(UpdateDialogs::Choice::later);
    EXPECT_EQ(manager->availableVersion(), "");

    serve("/appcast.xml", appcastFeed("140", "1.4"));
    manager->controller().checkForUpdates();
    ASSERT_TRUE(waitUntil([&] { return dialogs.shown.size() == 2; }));
    EXPECT_EQ(dialogs.shown.last(), "up to date 1.4");

    serve("/appcast.xml", "", 503);
    manager->controller().checkForUpdates();
    ASSERT_TRUE(waitUntil([&] { return dialogs.shown.size() == 3; }));
    EXPECT_EQ(dialogs.shown.last(), "failed il server del feed ha risposto con lo stato 503");
    EXPECT_FALSE(manager->controller().sessionInProgress());
}

TEST_F(Updates, FeedAddressMustBeHttpsOrThisMachine) {
    info = std::make_unique<InfoIni>(
        QStringList{"CFBundleVersion=140", "SUFeedURL=http://192.0.2.1/appcast.xml"});
    auto manager = makeManager(1h);
    manager->controller().checkForUpdates();
    ASSERT_EQ(dialogs.shown.size(), 1);
    EXPECT_TRUE(dialogs.shown.first().startsWith("failed indirizzo del feed non utilizzabile"))
        << dialogs.shown.first().toStdString();
    EXPECT_TRUE(server.requests().isEmpty());

    // A redirect that leaves this machine is not followed either.
    info = std::make_unique<InfoIni>(
        QStringList{"CFBundleVersion=140", "SUFeedURL=" + server.url("/moved.xml")});
    server.setReply("/moved.xml", {302, "text/plain", "", {{"Location", "http://192.0.2.1/appcast.xml"}}});
    manager->controller().checkForUpdates();
    ASSERT_TRUE(waitUntil([&] { return dialogs.shown.size() == 2; }));
    EXPECT_TRUE(dialogs.shown.last().contains("reindirizzamento")) << dialogs.shown.last().toStdString();
}

TEST_F(Updates, ScheduledChecksFollowTheWallClock) {
    QDateTime now = QDateTime::fromSecsSinceEpoch(1'800'000'000, Qt::UTC);
    Updater::Schedule schedule;
    schedule.pollInterval = 5ms;
    schedule.now = [&now] { return now; };
    auto manager = makeManager(1h, schedule);
    spin(40ms);
    EXPECT_TRUE(server.requests().isEmpty());

    now = now.addSecs(24 * 3600 - 60);
    spin(40ms);
    EXPECT_TRUE(server.requests().isEmpty());

    now = now.addSecs(60);
    ASSERT_TRUE(waitForRequests(1));
    ASSERT_TRUE(waitUntil([&] { return events.size() == 2; }));

    // A later release replaces the one waiting; the same one is not announced again.
    now = now.addSecs(24 * 3600);
    ASSERT_TRUE(waitForRequests(2));
    spin(30ms);
    EXPECT_EQ(events.size(), 2);
    serve("/appcast.xml", appcastFeed("151", "1.5.1"));
    now = now.addSecs(24 * 3600);
    ASSERT_TRUE(waitForRequests(3));
    ASSERT_TRUE(waitUntil([&] { return events.size() == 4; }));
    EXPECT_EQ(events.mid(2), (QStringList{"available 1.5.1", "found 1.5.1 (published: 1.5.1)"}));
}

TEST_F(Updates, AManagerGoneBeforeOrDuringItsCheckHearsNothingMore) {
    makeManager(30ms).reset();
    spin(100ms);
    EXPECT_TRUE(server.requests().isEmpty());
    server.setReply("/appcast.xml", {200, "application/rss+xml", "", {}, true});
    auto manager = makeManager();
    ASSERT_TRUE(waitForRequests(1));
    manager.reset();
    spin(30ms);
    EXPECT_TRUE(events.isEmpty());
}

} // namespace
