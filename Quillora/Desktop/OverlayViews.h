#pragma once

#include "Quillora/Desktop/FloatingPanel.h"
#include "Quillora/Model/RecorderModel.h"

#include <QColor>
#include <QLabel>
#include <QString>
#include <QWidget>
#include <memory>
#include <vector>

class QPushButton;
class QToolButton;
class QVariantAnimation;
class QSequentialAnimationGroup;

// The red dot of the recording panel: 12 × 12, pulsing between full and 30 % opacity, 0.8 s each way
// with an ease-in-out curve, for as long as it exists.
class RecordingDot : public QWidget {
    Q_OBJECT
    Q_PROPERTY(qreal opacity READ opacity WRITE setOpacity)

public:
    static constexpr int diameter = 12;
    static constexpr int halfPeriodMs = 800;
    static constexpr qreal dimOpacity = 0.3;

    explicit RecordingDot(QWidget* parent = nullptr);
    ~RecordingDot() override;

    qreal opacity() const { return opacity_; }
    void setOpacity(qreal opacity);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    qreal opacity_ = 1.0;
    std::unique_ptr<QSequentialAnimationGroup> pulse_;
};

// A caption (28 pixels wide) and a 6-pixel capsule filled in `tint` over `level` of its width, 0 to 1,
// moving linearly over 0.1 s to each new level. For assistive technology the whole row is one element
// labelled "<caption>: livello <percent> per cento".
class LevelBar : public QWidget {
    Q_OBJECT

public:
    static constexpr int captionWidth = 28;
    static constexpr int spacing = 6;
    static constexpr int barHeight = 6;
    static constexpr int animationMs = 100;

    LevelBar(const QString& label, const QColor& tint, QWidget* parent = nullptr);
    ~LevelBar() override;

    void setLevel(float level);
    float level() const { return level_; }
    // The level drawn right now, on its way to level().
    float displayedLevel() const { return displayed_; }
    static QString accessibleLabel(const QString& label, float level);

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString label_;
    QColor tint_;
    float level_ = 0;
    float displayed_ = 0;
    std::unique_ptr<QVariantAnimation> animation_;
};

// A time whose digits all take the width of the widest one, whatever the font, so that the text does not
// jiggle as it advances.
class TabularTimeLabel : public QLabel {
    Q_OBJECT

public:
    using QLabel::QLabel;
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    int digitWidth() const;
    int textWidth() const;
};

// What the recording panel shows, on the panels' card: the end-of-call row with "Continua" when the model
// suggests stopping, the dot, the time, the two level bars and the stop button, and the microphone with the
// feedback button. Every control calls the model.
class RecordingOverlayView : public QWidget {
    Q_OBJECT

public:
    // The rows are 400 pixels wide; the card around them adds its padding.
    static constexpr int contentWidth = 400;
    static constexpr int width = contentWidth + 2 * (PanelBackground::padding + 1);

    explicit RecordingOverlayView(RecorderModel& model, QWidget* parent = nullptr);

private:
    void showMicrophone(const QString& name);

    RecorderModel& model_;
    QWidget* endedRow_ = nullptr;
    QLabel* elapsed_ = nullptr;
    LevelBar* voice_ = nullptr;
    LevelBar* call_ = nullptr;
    QLabel* micIcon_ = nullptr;
    QLabel* micName_ = nullptr;
};

// A floating notice: icon, title, wrapping message, and the plain and the emphasised button at the right
// (emphasised last). Pressing a button only calls its action; the action closes the notice if it wants.
class NoticeView : public QWidget {
    Q_OBJECT

public:
    static constexpr int contentWidth = 360;

    explicit NoticeView(Notice notice, QWidget* parent = nullptr);

private:
    Notice notice_;
};

// The model's windows on the desktop: the recording panel (created once, then reused), the current
// notice, the demonstration's extra notices, and bringing the program's windows to the front.
class PanelViews final : public RecorderViews {
public:
    explicit PanelViews(RecorderModel& model);
    ~PanelViews() override;

    void showRecordingPanel() override;
    void hideRecordingPanel() override;
    void showNotice(const Notice& notice) override;
    void closeNotice() override;
    void showDemoNotice(const Notice& notice) override;
    void openFeedback(const std::optional<QString>& microphone) override;
    void activateApplication() override;

    // Where the demonstration's update notice goes on a screen: 80 pixels from the left edge, its bottom
    // edge 120 pixels above the bottom.
    static QPoint demoNoticeOrigin(const QRect& screen, const QSize& size);

    FloatingPanel* recordingPanel() const { return overlay_.get(); }
    FloatingPanel* noticePanel() const { return notice_.get(); }
    std::size_t demoPanelCount() const { return demo_.size(); }
    FloatingPanel* demoPanel(std::size_t index) const { return demo_.at(index).get(); }
    // The feedback window while one is open (closing it with its title bar only hides it).
    QWidget* feedbackWindow() const { return feedback_.get(); }

private:
    // A panel may be dropped from inside one of its own buttons' actions: it goes after the current event.
    struct LaterDeleter {
        void operator()(QObject* object) const;
    };
    using PanelPointer = std::unique_ptr<FloatingPanel, LaterDeleter>;

    RecorderModel& model_;
    PanelPointer overlay_;
    PanelPointer notice_;
    std::vector<PanelPointer> demo_;
    std::unique_ptr<QWidget, LaterDeleter> feedback_;
};
