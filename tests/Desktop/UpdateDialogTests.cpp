// The updater's message boxes on the offscreen platform: what each says, that each answer reaches the
// updater exactly once, and a whole user-initiated check against a feed served on 127.0.0.1.
#include "AppTestSupport.h"
#include "Quillora/Desktop/UpdateDialogBoxes.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>

using namespace std::chrono_literals;
using Choice = UpdateDialogs::Choice;

namespace {

QAbstractButton* buttonNamed(QMessageBox* box, const QString& text) {
    if (box == nullptr) {
        return nullptr;
    }
    for (QAbstractButton* button : box->buttons()) {
        if (button->text().remove(QLatin1Char('&')) == text) {
            return button;
        }
    }
    return nullptr;
}

AppcastItem release(const QString& version) {
    AppcastItem item;
    item.title = QStringLiteral("Quillora ") + version;
    item.version = QStringLiteral("300");
    item.displayVersion = version;
    item.downloadURL = QUrl(QStringLiteral("https://example.org/Quillora.AppImage"));
    item.infoURL = QUrl(QStringLiteral("https://example.org/quillora/3.0"));
    return item;
}

// The real boxes; opening a location is recorded instead of starting a browser.
class RecordingBoxes final : public UpdateDialogBoxes {
public:
    using UpdateDialogBoxes::UpdateDialogBoxes;
    void openLocation(const QUrl& location) override { opened.append(location); }
    QList<QUrl> opened;
};

class CountingDelegate final : public UpdaterDelegate {
public:
    std::optional<QString> feedURLString() override { return std::nullopt; }
    void didFindValidUpdate(const AppcastItem&) override {}
    void didAbortWithError(const QString&) override {}
    bool supportsGentleScheduledUpdateReminders() override { return true; }
    bool shouldHandleShowingScheduledUpdate(const AppcastItem&, bool) override { return false; }
    void willHandleShowingUpdate(bool, const AppcastItem&) override {}
    void willFinishUpdateSession() override { ++finished; }
    int finished = 0;
};

QByteArray feed(const QByteArray& version, const QByteArray& shortVersion) {
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
           "<rss version=\"2.0\" xmlns:sparkle=\"http://www.andymatuschak.org/xml-namespaces/sparkle\">"
           "<channel><item><title>Quillora</title><link>https://example.org/quillora/releases</link>"
           "<sparkle:version>" +
           version + "</sparkle:version><sparkle:shortVersionString>" + shortVersion +
           "</sparkle:shortVersionString>"
           "<enclosure url=\"https://example.org/Quillora.AppImage\" length=\"1\" "
           "type=\"application/octet-stream\"/></item></channel></rss>";
}

} // namespace

class UpdateDialogTests : public QObject {
    Q_OBJECT

private slots:
    void updateFoundAnswersOncePerButton_data();
    void updateFoundAnswersOncePerButton();
    void upToDateAndCheckFailed();
    void unansweredBoxesStillAnswerOnce();
    void userCheckOpensTheReleasePage();
};

void UpdateDialogTests::updateFoundAnswersOncePerButton_data() {
    QTest::addColumn<QString>("button"); // empty: the Escape key
    QTest::addColumn<Choice>("expected");
    QTest::newRow("Scarica") << QStringLiteral("Scarica") << Choice::openDownload;
    QTest::newRow("Più tardi") << QStringLiteral("Più tardi") << Choice::later;
    QTest::newRow("Escape") << QString() << Choice::later;
}

void UpdateDialogTests::updateFoundAnswersOncePerButton() {
    QFETCH(QString, button);
    QFETCH(Choice, expected);
    const InfoIni info({"CFBundleShortVersionString=2.1", "CFBundleVersion=210"});
    RecordingBoxes boxes;
    QList<Choice> answers;
    boxes.showUpdateFound(release(QStringLiteral("3.0")), [&](Choice choice) { answers.append(choice); });

    QMessageBox* box = boxes.currentBox();
    QVERIFY(box != nullptr);
    QVERIFY(box->isVisible());
    QCOMPARE(box->text(), QStringLiteral("È disponibile Quillora 3.0"));
    QVERIFY2(box->informativeText().contains(QStringLiteral("2.1")), qPrintable(box->informativeText()));
    QCOMPARE(box->buttons().size(), 2);
    QCOMPARE(box->defaultButton(), buttonNamed(box, QStringLiteral("Scarica")));
    QVERIFY(answers.isEmpty()); // nothing is answered until the user does

    if (button.isEmpty()) {
        QTest::keyClick(box, Qt::Key_Escape);
    } else {
        QAbstractButton* target = buttonNamed(box, button);
        QVERIFY(target != nullptr);
        QTest::mouseClick(target, Qt::LeftButton);
    }
    QCOMPARE(answers, QList<Choice>{expected});
    QCOMPARE(boxes.currentBox(), nullptr);
    spin(50ms); // the box is gone and answers nothing more
    QCOMPARE(answers.size(), 1);
    QVERIFY(boxes.opened.isEmpty()); // opening is the updater's decision
}

void UpdateDialogTests::upToDateAndCheckFailed() {
    RecordingBoxes boxes;
    int upToDate = 0;
    boxes.showUpToDate(QStringLiteral("2.1"), [&] { ++upToDate; });
    QMessageBox* box = boxes.currentBox();
    QVERIFY(box != nullptr && box->isVisible());
    QCOMPARE(box->text(), QStringLiteral("Quillora è aggiornata"));
    QCOMPARE(box->informativeText(), QStringLiteral("Hai l'ultima versione (2.1)."));
    QCOMPARE(box->buttons().size(), 1);
    QTest::mouseClick(box->buttons().first(), Qt::LeftButton);
    QCOMPARE(upToDate, 1);

    int failed = 0;
    boxes.showCheckFailed(QStringLiteral("feed non raggiungibile: Connection refused"), [&] { ++failed; });
    box = boxes.currentBox();
    QVERIFY(box != nullptr && box->isVisible());
    QCOMPARE(box->text(), QStringLiteral("Non riesco a controllare gli aggiornamenti"));
    QCOMPARE(box->informativeText(),
             QStringLiteral("Riprova più tardi. (feed non raggiungibile: Connection refused)"));
    QTest::keyClick(box, Qt::Key_Return);
    QCOMPARE(failed, 1);
    spin(50ms);
    QCOMPARE(upToDate, 1);
    QCOMPARE(failed, 1);
}

void UpdateDialogTests::unansweredBoxesStillAnswerOnce() {
    int first = 0;
    QList<Choice> second;
    {
        RecordingBoxes boxes;
        boxes.showUpToDate(QStringLiteral("2.1"), [&] { ++first; });
        QMessageBox* replaced = boxes.currentBox();
        // A second box replaces the first, which counts as answered.
        boxes.showUpdateFound(release(QStringLiteral("3.0")), [&](Choice choice) { second.append(choice); });
        QCOMPARE(first, 1);
        QVERIFY(boxes.currentBox() != replaced);
        QVERIFY(second.isEmpty());
    }
    // Gone with the box still up: "later", once.
    QCOMPARE(second, QList<Choice>{Choice::later});
    spin(50ms);
    QCOMPARE(first, 1);
    QCOMPARE(second.size(), 1);
}

void UpdateDialogTests::userCheckOpensTheReleasePage() {
    LocalHttpServer server;
    server.setReply("/appcast.xml", {200, "application/rss+xml", feed("300", "3.0"), {}});
    const InfoIni info({"CFBundleShortVersionString=2.1", "CFBundleVersion=210",
                        "SUFeedURL=" + server.url(QStringLiteral("/appcast.xml"))});
    CountingDelegate delegate;
    Updater updater(delegate, {});
    auto boxes = std::make_unique<RecordingBoxes>(&updater);

    updater.checkForUpdates();
    QVERIFY(waitUntil([&] { return boxes->currentBox() != nullptr; }));
    QVERIFY(updater.sessionInProgress());
    // While the box is up, the session stays open: no second check, no second box.
    QMessageBox* box = boxes->currentBox();
    updater.checkForUpdates();
    updater.checkForUpdatesInBackground();
    spin(100ms);
    QCOMPARE(server.requests().size(), 1);
    QCOMPARE(boxes->currentBox(), box);

    QTest::mouseClick(buttonNamed(box, QStringLiteral("Scarica")), Qt::LeftButton);
    QCOMPARE(boxes->opened, QList<QUrl>{QUrl(QStringLiteral("https://example.org/quillora/releases"))});
    QVERIFY(!updater.sessionInProgress());
    QCOMPARE(delegate.finished, 1);

    // A failing check answers in its box; once the boxes are gone the updater shows nothing and still ends
    // its session.
    server.setReply("/appcast.xml", {500, "text/plain", "down", {}});
    updater.checkForUpdates();
    QVERIFY(waitUntil([&] { return boxes->currentBox() != nullptr; }));
    QCOMPARE(boxes->currentBox()->text(), QStringLiteral("Non riesco a controllare gli aggiornamenti"));
    QTest::mouseClick(boxes->currentBox()->buttons().first(), Qt::LeftButton);
    QCOMPARE(delegate.finished, 2);
    boxes.reset();
    updater.checkForUpdates();
    QVERIFY(waitUntil([&] { return !updater.sessionInProgress(); }));
    QCOMPARE(delegate.finished, 3);
    QCOMPARE(server.requests().size(), 3);
}

QTEST_MAIN(UpdateDialogTests)
#include "UpdateDialogTests.moc"
