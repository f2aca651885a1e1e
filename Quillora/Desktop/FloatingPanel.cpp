#include "Quillora/Desktop/FloatingPanel.h"

#include "Quillora/Desktop/DesktopWindows.h"

#include <QAbstractButton>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>
#include <QSettings>
#include <QStyleFactory>
#include <QStyleOptionButton>
#include <QTimer>
#include <QVBoxLayout>
#include <QWindow>
#include <algorithm>

QFont scaledFont(const QFont& base, qreal factor, QFont::Weight weight) {
    QFont font = base;
    if (font.pointSizeF() > 0) {
        font.setPointSizeF(font.pointSizeF() * factor);
    } else {
        font.setPixelSize(std::max(1, qRound(font.pixelSize() * factor)));
    }
    font.setWeight(weight);
    return font;
}

FloatingPanel::FloatingPanel(QWidget* content, const QString& autosaveName, QWidget* parent)
    : QWidget(parent, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                          Qt::WindowDoesNotAcceptFocus | Qt::NoDropShadowWindowHint),
      autosaveName_(autosaveName), content_(content) {
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_ShowWithoutActivating);
    setAttribute(Qt::WA_NoSystemBackground);
    setFocusPolicy(Qt::NoFocus);
    setObjectName(autosaveName);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    // The panel takes exactly the size its content asks for, and follows it.
    layout->setSizeConstraint(QLayout::SetFixedSize);
    layout->addWidget(content_);
    adjustSize();

    const QVariant saved = QSettings().value(settingsKey(autosaveName_));
    if (saved.canConvert<QRect>() && saved.toRect().isValid()) {
        remembered_ = true;
        move(saved.toRect().topLeft());
    } else {
        placeTopRight();
    }
    restoring_ = false;
}

QString FloatingPanel::settingsKey(const QString& autosaveName) {
    return QStringLiteral("Panels/") + autosaveName;
}

QPoint FloatingPanel::topRightOrigin(const QRect& available, const QSize& size) {
    return {available.x() + available.width() - size.width() - placementMargin,
            available.y() + placementMargin};
}

QPoint FloatingPanel::keptOnScreen(const QRect& available, const QRect& frame) {
    const int minX = available.x() + screenMargin;
    const int maxX = available.x() + available.width() - frame.width() - screenMargin;
    const int minY = available.y() + screenMargin;
    const int maxY = available.y() + available.height() - frame.height() - screenMargin;
    // Right edge first, then the top edge: when the panel does not fit, its title area stays reachable.
    const int x = std::min(std::max(frame.x(), minX), maxX);
    const int y = std::max(std::min(frame.y(), maxY), minY);
    return {x, y};
}

QPoint FloatingPanel::clearOfOrigin(const QRect& available, const QSize& size, const QRect& other) {
    const int x = other.x() + other.width() - size.width();
    const int below = other.y() + other.height() + placementMargin;
    if (below + size.height() <= available.y() + available.height() - screenMargin) {
        return {x, below};
    }
    const int above = other.y() - placementMargin - size.height();
    if (above >= available.y() + screenMargin) {
        return {x, above};
    }
    return topRightOrigin(available, size);
}

QScreen* FloatingPanel::currentScreen() const {
    if (QScreen* own = screen()) {
        return own;
    }
    return QGuiApplication::primaryScreen();
}

void FloatingPanel::placeTopRight() {
    const QScreen* primary = QGuiApplication::primaryScreen();
    if (primary == nullptr) {
        return;
    }
    startingPlace_ = topRightOrigin(primary->availableGeometry(), frameGeometry().size());
    move(*startingPlace_);
}

void FloatingPanel::placeClearOf(const QRect& other) {
    const QScreen* where = QGuiApplication::screenAt(other.center());
    if (where == nullptr) {
        where = QGuiApplication::primaryScreen();
    }
    if (where == nullptr) {
        return;
    }
    startingPlace_ = clearOfOrigin(where->availableGeometry(), frameGeometry().size(), other);
    move(*startingPlace_);
}

void FloatingPanel::keepOnScreen() {
    const QScreen* where = currentScreen();
    if (where == nullptr) {
        return;
    }
    const QPoint target = keptOnScreen(where->availableGeometry(), frameGeometry());
    if (target != frameGeometry().topLeft()) {
        move(target);
    }
}

void FloatingPanel::showPanel() {
    // Switching workspaces must not leave the stop button behind.
    DesktopWindows::keepOnEveryWorkspace(*this);
    show();
    raise();
    DesktopWindows::keepOnEveryWorkspace(*this);
    keepOnScreen();
    QTimer::singleShot(0, this, [this] { keepOnScreen(); });
}

void FloatingPanel::savePosition() {
    if (!restoring_ && frameGeometry().topLeft() != startingPlace_) {
        QSettings().setValue(settingsKey(autosaveName_), frameGeometry());
    }
}

void FloatingPanel::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        QWidget::mousePressEvent(event);
        return;
    }
    // The window system moves the panel where it can (it knows about other screens and snapping);
    // otherwise the panel follows the pointer itself.
    if (windowHandle() != nullptr && windowHandle()->startSystemMove()) {
        return;
    }
    dragging_ = true;
    dragOffset_ = event->globalPosition().toPoint() - frameGeometry().topLeft();
}

void FloatingPanel::mouseMoveEvent(QMouseEvent* event) {
    if (dragging_) {
        move(event->globalPosition().toPoint() - dragOffset_);
    }
}

void FloatingPanel::mouseReleaseEvent(QMouseEvent* event) {
    dragging_ = false;
    QWidget::mouseReleaseEvent(event);
}

void FloatingPanel::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    QTimer::singleShot(0, this, [this] { keepOnScreen(); });
}

void FloatingPanel::moveEvent(QMoveEvent* event) {
    QWidget::moveEvent(event);
    savePosition();
}

PanelBackground::PanelBackground(QWidget* content, QWidget* parent) : QWidget(parent) {
    auto* layout = new QVBoxLayout(this);
    const int outer = 1;
    layout->setContentsMargins(padding + outer, padding + outer, padding + outer, padding + outer);
    layout->addWidget(content);
}

void PanelBackground::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    QColor border = palette().color(QPalette::WindowText);
    border.setAlphaF(0.08f);
    if (!DesktopWindows::compositingActive()) {
        // Nothing blends the panel with what is behind it: every pixel of the window is drawn, opaque, and
        // the corners are square (rounded ones would show black).
        painter.fillRect(rect(), palette().color(QPalette::Window));
        border.setAlphaF(0.25f);
        painter.setPen(QPen(border, 1));
        painter.drawRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5));
        return;
    }
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF card = QRectF(rect()).adjusted(1, 1, -1, -1);
    QPainterPath shape;
    shape.addRoundedRect(card, radius, radius);
    // A thick, nearly opaque material: the window colour, slightly see-through.
    QColor material = palette().color(QPalette::Window);
    material.setAlphaF(0.94f);
    painter.fillPath(shape, material);
    painter.setPen(QPen(border, 1));
    QPainterPath inner;
    inner.addRoundedRect(card.adjusted(0.5, 0.5, -0.5, -0.5), radius - 0.5, radius - 0.5);
    painter.drawPath(inner);
}

FilledButtonStyle::FilledButtonStyle(const QColor& color)
    : QProxyStyle(QStyleFactory::create(QStringLiteral("Fusion"))), color_(color) {}

void FilledButtonStyle::apply(QAbstractButton& button, const QColor& color) {
    auto* style = new FilledButtonStyle(color);
    style->setParent(&button);
    button.setStyle(style);
    QFont font = button.font();
    font.setWeight(QFont::DemiBold);
    button.setFont(font);
    QPalette palette = button.palette();
    palette.setColor(QPalette::ButtonText, Qt::white);
    palette.setColor(QPalette::Text, Qt::white);
    button.setPalette(palette);
    button.setCursor(Qt::PointingHandCursor);
    button.setFocusPolicy(Qt::NoFocus);
}

void FilledButtonStyle::drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                                    const QWidget* widget) const {
    if (element == CE_PushButtonBevel) {
        QColor fill = color_;
        if ((option->state & State_Sunken) != 0) {
            fill.setAlphaF(static_cast<float>(pressedOpacity));
        }
        painter->save();
        painter->setRenderHint(QPainter::Antialiasing);
        painter->setPen(Qt::NoPen);
        painter->setBrush(fill);
        painter->drawRoundedRect(QRectF(option->rect), 8, 8);
        painter->restore();
        return;
    }
    if (element == CE_PushButtonLabel) {
        if (const auto* button = qstyleoption_cast<const QStyleOptionButton*>(option)) {
            QStyleOptionButton copy(*button);
            copy.palette.setColor(QPalette::ButtonText, Qt::white);
            copy.state &= ~State_Sunken; // the label does not shift while pressed
            QProxyStyle::drawControl(element, &copy, painter, widget);
            return;
        }
    }
    QProxyStyle::drawControl(element, option, painter, widget);
}

QSize FilledButtonStyle::sizeFromContents(ContentsType type, const QStyleOption* option, const QSize& size,
                                          const QWidget* widget) const {
    if (type == CT_PushButton) {
        return size + QSize(2 * 14, 2 * 7);
    }
    return QProxyStyle::sizeFromContents(type, option, size, widget);
}

int FilledButtonStyle::pixelMetric(PixelMetric metric, const QStyleOption* option,
                                   const QWidget* widget) const {
    if (metric == PM_ButtonShiftHorizontal || metric == PM_ButtonShiftVertical) {
        return 0;
    }
    return QProxyStyle::pixelMetric(metric, option, widget);
}
