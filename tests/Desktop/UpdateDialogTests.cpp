// The updater's message boxes on the offscreen platform: each answer reaches the updater exactly once.
#include "Quillora/Desktop/UpdateDialogBoxes.h"
#include "Services/AppTestSupport.h"

#include <QAbstractButton>
#include <QMessageBox>
#include <QTest>
#include <gtest/gtest.h>

namespace {

using Choice = UpdateDialogs::Choice;

using RecordingBoxes = UpdateDialogBoxes;

AppcastItem release() {
    AppcastItem item;
    item.version = "300";
    item.displayVersion = "3.0";
    item.downloadURL = QUrl("https://example.org/quillora_3.0_amd64.deb");
    return item;
}

TEST(UpdateDialogBoxes, EachAnswerArrivesOnce) {
    for (const auto& [button, expected] : std::vector<std::pair<QString, Choice>>{
             {"Aggiorna ora", Choice::install}, {"Più tardi", Choice::later}, {"", Choice::later}}) {
        RecordingBoxes boxes;
        QList<Choice> answers;
        boxes.showUpdateFound(release(), [&](Choice choice) { answers.append(choice); });
        QMessageBox* box = boxes.currentBox();
        ASSERT_TRUE(box != nullptr && box->isVisible());
        EXPECT_TRUE(answers.isEmpty());
        for (QAbstractButton* candidate : box->buttons()) {
            if (!button.isEmpty() && candidate->text().remove('&') == button) {
                QTest::mouseClick(candidate, Qt::LeftButton);
            }
        }
        if (button.isEmpty()) {
            QTest::keyClick(box, Qt::Key_Escape);
        }
        spin(std::chrono::milliseconds(30));
        EXPECT_EQ(answers, QList<Choice>{expected}) << button.toStdString();
        EXPECT_EQ(boxes.currentBox(), nullptr);
    }
}

TEST(UpdateDialogBoxes, ReplacedOrDestroyedBoxesStillAnswerOnce) {
    int upToDate = 0, failed = 0;
    QList<Choice> found;
    {
        RecordingBoxes boxes;
        boxes.showUpToDate("2.1", [&] { ++upToDate; });
        boxes.showCheckFailed("feed non raggiungibile", [&] { ++failed; });
        EXPECT_EQ(upToDate, 1); // replaced: answered
        EXPECT_TRUE(boxes.currentBox()->informativeText().contains("feed non raggiungibile"));
        QTest::keyClick(boxes.currentBox(), Qt::Key_Return);
        EXPECT_EQ(failed, 1);
        boxes.showUpdateFound(release(), [&](Choice choice) { found.append(choice); });
    }
    EXPECT_EQ(found, QList<Choice>{Choice::later}); // gone with the box up: "later"
    spin(std::chrono::milliseconds(30));
    EXPECT_EQ(std::tuple(upToDate, failed, found.size()), std::tuple(1, 1, 1));
}

} // namespace
