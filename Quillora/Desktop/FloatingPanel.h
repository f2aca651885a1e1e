#pragma once

#include <QColor>
#include <QFont>
#include <QPoint>
#include <QProxyStyle>
#include <QRect>
#include <QSize>
#include <QString>
#include <QWidget>
#include <optional>

class QAbstractButton;

// A small always-on-top tool window for the recording panel and the notices: frameless, transparent
// around its content, never takes focus, dragged by any background point. Its position is remembered in
// the preferences under its autosave name; a panel with no remembered position starts at the top right
// of the primary screen, and whenever it is shown or resized it is kept inside the screen.
// `base` scaled by `factor` (point or pixel sized alike), with `weight`: the panels' text sizes.
QFont scaledFont(const QFont& base, qreal factor, QFont::Weight weight);

class FloatingPanel : public QWidget {
    Q_OBJECT

public:
    static constexpr int placementMargin = 16;
    static constexpr int screenMargin = 8;

    // Takes ownership of `content`, which decides the panel's size.
    FloatingPanel(QWidget* content, const QString& autosaveName, QWidget* parent = nullptr);

    QString autosaveName() const { return autosaveName_; }
    QWidget* content() const { return content_; }

    // Whether a position was remembered under the autosave name when the panel was made.
    bool hasRememberedPosition() const { return remembered_; }

    // Brings the panel up without activating anything, then checks its position now and once more after
    // the window system has placed it.
    void showPanel();
    void placeTopRight();
    // Places the panel so that it does not cover `other`, another panel's frame (see clearOfOrigin). Like
    // the top-right spot, this is a starting place, not one the user chose: it is not remembered.
    void placeClearOf(const QRect& other);
    void keepOnScreen();

    // The placement rules on a screen's available area (top-left origin coordinates). The top-right spot
    // leaves 16 pixels above and to the right. Keeping on screen leaves 8 pixels on every side; a panel
    // too large for the area keeps its top and right edges inside, spilling over at the bottom and left.
    static QPoint topRightOrigin(const QRect& available, const QSize& size);
    static QPoint keptOnScreen(const QRect& available, const QRect& frame);
    // Right-aligned with `other` and 16 pixels below it; above it when there is no room below (8 pixels
    // from the edge, as keepOnScreen leaves); the top-right spot when there is room on neither side.
    static QPoint clearOfOrigin(const QRect& available, const QSize& size, const QRect& other);

    // Where positions are remembered: "Panels/<autosave name>".
    static QString settingsKey(const QString& autosaveName);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void moveEvent(QMoveEvent* event) override;

private:
    void savePosition();
    QScreen* currentScreen() const;

    QString autosaveName_;
    QWidget* content_ = nullptr;
    QPoint dragOffset_;
    bool dragging_ = false;
    bool restoring_ = true; // no saving while the constructor places the panel
    bool remembered_ = false;
    // The starting place the panel was put in; the panel is not remembered while it sits there.
    std::optional<QPoint> startingPlace_;
};

// The card behind the notices and the recording panel: a rounded translucent background (radius 14) with a
// faint border, 14 pixels of padding inside and 1 pixel outside; opaque with square corners where no
// compositing manager runs. The content goes into its layout.
class PanelBackground : public QWidget {
    Q_OBJECT

public:
    static constexpr int padding = 14;
    static constexpr int radius = 14;

    explicit PanelBackground(QWidget* content, QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;
};

// A push button filled with one colour (75 % while pressed, full otherwise), white semibold label,
// 14 × 7 pixels of padding, corner radius 8. `apply` gives a button this look; the style belongs to
// the button.
class FilledButtonStyle : public QProxyStyle {
    Q_OBJECT

public:
    static constexpr double pressedOpacity = 0.75;

    explicit FilledButtonStyle(const QColor& color);
    static void apply(QAbstractButton& button, const QColor& color);

    QColor color() const { return color_; }

    void drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                     const QWidget* widget) const override;
    QSize sizeFromContents(ContentsType type, const QStyleOption* option, const QSize& size,
                           const QWidget* widget) const override;
    int pixelMetric(PixelMetric metric, const QStyleOption* option, const QWidget* widget) const override;

private:
    QColor color_;
};
