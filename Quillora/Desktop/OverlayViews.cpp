#include "Quillora/Desktop/OverlayViews.h"

#include "Quillora/Desktop/Feedback.h"
#include "Quillora/Desktop/Symbols.h"

#include <QAccessible>
#include <QApplication>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPropertyAnimation>
#include <QPushButton>
#include <QScreen>
#include <QSequentialAnimationGroup>
#include <QToolButton>
#include <QVBoxLayout>
#include <QVariantAnimation>
#include <algorithm>
#include <cmath>

namespace {

QLabel* symbolLabel(const QString& symbol, const QColor& color, int size, int frameWidth) {
    auto* label = new QLabel;
    label->setPixmap(Symbols::pixmap(symbol, color, size));
    label->setFixedWidth(frameWidth);
    label->setAlignment(Qt::AlignCenter);
    return label;
}

void setSecondary(QLabel& label) {
    Symbols::setTextColor(label, Symbols::textColor(label, 0.6));
}

} // namespace

// ---------------------------------------------------------------------------------------------------------

RecordingDot::RecordingDot(QWidget* parent) : QWidget(parent) {
    setFixedSize(diameter, diameter);
    setAccessibleName(QStringLiteral("In registrazione"));
    pulse_ = std::make_unique<QSequentialAnimationGroup>();
    for (const auto& [from, to] : {std::pair{1.0, dimOpacity}, std::pair{dimOpacity, 1.0}}) {
        auto* step = new QPropertyAnimation(this, "opacity", pulse_.get());
        step->setStartValue(from);
        step->setEndValue(to);
        step->setDuration(halfPeriodMs);
        step->setEasingCurve(QEasingCurve::InOutSine);
        pulse_->addAnimation(step);
    }
    pulse_->setLoopCount(-1);
    pulse_->start();
}

RecordingDot::~RecordingDot() {
    pulse_->stop();
}

void RecordingDot::setOpacity(qreal opacity) {
    opacity_ = opacity;
    update();
}

void RecordingDot::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setOpacity(opacity_);
    painter.setPen(Qt::NoPen);
    painter.setBrush(Symbols::namedColor(QStringLiteral("red")));
    painter.drawEllipse(QRectF(0, 0, diameter, diameter));
}

// ---------------------------------------------------------------------------------------------------------

LevelBar::LevelBar(const QString& label, const QColor& tint, QWidget* parent)
    : QWidget(parent), label_(label), tint_(tint), animation_(std::make_unique<QVariantAnimation>()) {
    setFont(scaledFont(font(), 0.8, QFont::Medium));
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    animation_->setDuration(animationMs);
    animation_->setEasingCurve(QEasingCurve::Linear);
    QObject::connect(animation_.get(), &QVariantAnimation::valueChanged, this, [this](const QVariant& value) {
        displayed_ = value.toFloat();
        update();
    });
    setAccessibleName(accessibleLabel(label_, level_));
}

LevelBar::~LevelBar() {
    animation_->stop();
}

QString LevelBar::accessibleLabel(const QString& label, float level) {
    const auto percent = static_cast<long long>(std::trunc(static_cast<double>(level) * 100.0));
    return label + QStringLiteral(": livello ") + QString::number(percent) + QStringLiteral(" per cento");
}

void LevelBar::setLevel(float level) {
    if (level == level_) {
        return;
    }
    level_ = level;
    setAccessibleName(accessibleLabel(label_, level_));
    animation_->stop();
    animation_->setStartValue(displayed_);
    animation_->setEndValue(level_);
    animation_->start();
}

QSize LevelBar::sizeHint() const {
    return {captionWidth + spacing + 80, std::max(fontMetrics().height(), barHeight)};
}

void LevelBar::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Symbols::textColor(*this, 0.6));
    painter.drawText(QRect(0, 0, captionWidth, height()), Qt::AlignLeft | Qt::AlignVCenter, label_);

    const qreal trackWidth = std::max(0, width() - captionWidth - spacing);
    const QRectF track(captionWidth + spacing, (height() - barHeight) / 2.0, trackWidth, barHeight);
    const QColor trackColor = Symbols::textColor(*this, 0.1);
    painter.setPen(Qt::NoPen);
    painter.setBrush(trackColor);
    painter.drawRoundedRect(track, barHeight / 2.0, barHeight / 2.0);
    const qreal filled = trackWidth * static_cast<qreal>(displayed_);
    if (filled > 0) {
        painter.setBrush(tint_);
        const QRectF fill(track.x(), track.y(), filled, barHeight);
        painter.drawRoundedRect(fill, std::min(barHeight / 2.0, filled / 2), barHeight / 2.0);
    }
}

// ---------------------------------------------------------------------------------------------------------

int TabularTimeLabel::digitWidth() const {
    const QFontMetrics metrics(font());
    int widest = 0;
    for (char digit = '0'; digit <= '9'; ++digit) {
        widest = std::max(widest, metrics.horizontalAdvance(QLatin1Char(digit)));
    }
    return widest;
}

int TabularTimeLabel::textWidth() const {
    const QFontMetrics metrics(font());
    int total = 0;
    for (const QChar c : text()) {
        total += c.isDigit() ? digitWidth() : metrics.horizontalAdvance(c);
    }
    return total;
}

QSize TabularTimeLabel::sizeHint() const {
    const QMargins margins = contentsMargins();
    return {std::max(textWidth(), minimumWidth()) + margins.left() + margins.right(),
            fontMetrics().height() + margins.top() + margins.bottom()};
}

void TabularTimeLabel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setFont(font());
    painter.setPen(palette().color(QPalette::WindowText));
    const QFontMetrics metrics(font());
    const QRect area = contentsRect();
    const int cell = digitWidth();
    int x = area.x();
    for (const QChar c : text()) {
        const int advance = c.isDigit() ? cell : metrics.horizontalAdvance(c);
        painter.drawText(QRect(x, area.y(), advance, area.height()), Qt::AlignCenter, QString(c));
        x += advance;
    }
}

// ---------------------------------------------------------------------------------------------------------

RecordingOverlayView::RecordingOverlayView(RecorderModel& model, QWidget* parent)
    : QWidget(parent), model_(model) {
    auto* rows = new QWidget;
    rows->setFixedWidth(contentWidth);
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->addWidget(new PanelBackground(rows));
    auto* column = new QVBoxLayout(rows);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(10);

    // The end-of-call suggestion, with its divider.
    endedRow_ = new QWidget;
    endedRow_->setObjectName(QStringLiteral("endedRow"));
    auto* endedColumn = new QVBoxLayout(endedRow_);
    endedColumn->setContentsMargins(0, 0, 0, 0);
    endedColumn->setSpacing(10);
    auto* ended = new QHBoxLayout;
    ended->setSpacing(8);
    ended->addWidget(symbolLabel(QStringLiteral("phone.down.fill"),
                                 Symbols::namedColor(QStringLiteral("orange")), 22, 24));
    auto* endedText = new QLabel(QStringLiteral("La chiamata sembra finita"));
    endedText->setFont(scaledFont(font(), 1.0, QFont::DemiBold));
    ended->addWidget(endedText);
    ended->addStretch(1);
    auto* keepGoing = new QPushButton(QStringLiteral("Continua"));
    keepGoing->setObjectName(QStringLiteral("continueButton"));
    keepGoing->setFont(scaledFont(font(), 0.85, QFont::Normal));
    keepGoing->setFocusPolicy(Qt::NoFocus);
    QObject::connect(keepGoing, &QPushButton::clicked, this, [this] { model_.dismissCallEndedSuggestion(); });
    ended->addWidget(keepGoing);
    endedColumn->addLayout(ended);
    auto* divider = new QFrame;
    divider->setObjectName(QStringLiteral("endedDivider"));
    divider->setFrameShape(QFrame::HLine);
    divider->setFrameShadow(QFrame::Plain);
    // A faint separator line, not a black rule.
    Symbols::setTextColor(*divider, Symbols::textColor(*divider, 0.15));
    endedColumn->addWidget(divider);
    column->addWidget(endedRow_);

    // The dot, the time, the bars and the stop button.
    auto* main = new QHBoxLayout;
    main->setSpacing(12);
    main->addWidget(new RecordingDot, 0, Qt::AlignVCenter);
    elapsed_ = new TabularTimeLabel;
    elapsed_->setObjectName(QStringLiteral("elapsedLabel"));
    elapsed_->setFont(scaledFont(font(), 1.45, QFont::DemiBold));
    // Wide enough for any minutes-and-seconds time, so the row does not shift as the digits change.
    elapsed_->setText(QStringLiteral("00:00"));
    elapsed_->setMinimumWidth(std::max(64, elapsed_->sizeHint().width() + 4));
    elapsed_->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    main->addWidget(elapsed_);
    auto* bars = new QVBoxLayout;
    bars->setSpacing(5);
    voice_ = new LevelBar(QStringLiteral("Tu"), Symbols::namedColor(QStringLiteral("blue")));
    voice_->setObjectName(QStringLiteral("voiceBar"));
    call_ = new LevelBar(QStringLiteral("Altri"), Symbols::namedColor(QStringLiteral("green")));
    call_->setObjectName(QStringLiteral("callBar"));
    bars->addWidget(voice_);
    bars->addWidget(call_);
    auto* barsBox = new QWidget;
    barsBox->setFixedWidth(120);
    barsBox->setLayout(bars);
    bars->setContentsMargins(0, 0, 0, 0);
    main->addWidget(barsBox);
    main->addStretch(1);
    auto* stop =
        new QPushButton(Symbols::icon(QStringLiteral("stop.fill"), Qt::white), QStringLiteral("Ferma"));
    stop->setObjectName(QStringLiteral("stopButton"));
    stop->setToolTip(QStringLiteral("Ferma e salva la registrazione"));
    FilledButtonStyle::apply(*stop, Symbols::namedColor(QStringLiteral("red")));
    QObject::connect(stop, &QPushButton::clicked, this, [this] { model_.stop(); });
    main->addWidget(stop);
    column->addLayout(main);

    // The microphone and the feedback button.
    auto* foot = new QHBoxLayout;
    micIcon_ = new QLabel;
    micIcon_->setObjectName(QStringLiteral("microphoneIcon"));
    micName_ = new QLabel;
    micName_->setObjectName(QStringLiteral("microphoneLabel"));
    micName_->setFont(scaledFont(font(), 0.85, QFont::Normal));
    setSecondary(*micName_);
    for (QLabel* part : {micIcon_, micName_}) {
        part->setToolTip(QStringLiteral("Microfono in uso"));
    }
    foot->addWidget(micIcon_);
    foot->addWidget(micName_, 1);
    auto* feedback = new QToolButton;
    feedback->setObjectName(QStringLiteral("feedbackButton"));
    feedback->setText(QStringLiteral("Feedback"));
    // The symbol gets a few pixels of room on its right: the style puts the title right against it.
    const qreal ratio = devicePixelRatioF();
    const QPixmap symbol = Symbols::pixmap(QStringLiteral("bubble.left.and.exclamationmark.bubble.right"),
                                           palette().color(QPalette::ButtonText), 16, ratio);
    QPixmap roomy(qRound(20 * ratio), qRound(16 * ratio));
    roomy.setDevicePixelRatio(ratio);
    roomy.fill(Qt::transparent);
    {
        QPainter painter(&roomy);
        painter.drawPixmap(0, 0, symbol);
    }
    feedback->setIcon(QIcon(roomy));
    feedback->setIconSize(QSize(20, 16));
    feedback->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    feedback->setFont(scaledFont(font(), 0.85, QFont::Normal));
    feedback->setToolTip(QStringLiteral("Segnala un problema o un'idea a chi sviluppa Quillora"));
    feedback->setFocusPolicy(Qt::NoFocus);
    QObject::connect(feedback, &QToolButton::clicked, this, [this] { model_.openFeedback(); });
    foot->addWidget(feedback);
    column->addLayout(foot);

    // Follow the model.
    endedRow_->setVisible(model_.callEndedSuggestion());
    QObject::connect(&model_, &RecorderModel::callEndedSuggestionChanged, endedRow_, &QWidget::setVisible);
    elapsed_->setText(model_.elapsedText());
    QObject::connect(&model_, &RecorderModel::elapsedChanged, elapsed_,
                     [this] { elapsed_->setText(model_.elapsedText()); });
    voice_->setLevel(model_.micLevel());
    call_->setLevel(model_.systemLevel());
    QObject::connect(&model_, &RecorderModel::micLevelChanged, voice_, &LevelBar::setLevel);
    QObject::connect(&model_, &RecorderModel::systemLevelChanged, call_, &LevelBar::setLevel);
    showMicrophone(model_.microphoneName());
    QObject::connect(&model_, &RecorderModel::microphoneNameChanged, this,
                     [this](const QString& name) { showMicrophone(name); });
}

void RecordingOverlayView::showMicrophone(const QString& name) {
    const bool present = !name.isEmpty();
    const QString text = present ? name : QStringLiteral("Senza microfono: registro solo la chiamata");
    micIcon_->setPixmap(Symbols::pixmap(present ? QStringLiteral("mic.fill") : QStringLiteral("mic.slash"),
                                        Symbols::textColor(*micName_, 0.6), 13));
    micIcon_->setProperty("symbol", present ? QStringLiteral("mic.fill") : QStringLiteral("mic.slash"));
    // One line: a long device name is shortened rather than wrapped.
    micName_->setText(QFontMetrics(micName_->font()).elidedText(text, Qt::ElideRight, 250));
    micName_->setProperty("fullText", text);
}

// ---------------------------------------------------------------------------------------------------------

NoticeView::NoticeView(Notice notice, QWidget* parent) : QWidget(parent), notice_(std::move(notice)) {
    auto* content = new QWidget;
    content->setFixedWidth(contentWidth);
    auto* row = new QHBoxLayout(content);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(12);
    const QColor tint = Symbols::namedColor(notice_.tint);
    auto* icon = symbolLabel(notice_.icon, tint, 22, 30);
    icon->setObjectName(QStringLiteral("noticeIcon"));
    row->addWidget(icon, 0, Qt::AlignTop);

    auto* column = new QVBoxLayout;
    column->setSpacing(8);
    auto* title = new QLabel(notice_.title);
    title->setObjectName(QStringLiteral("noticeTitle"));
    title->setTextFormat(Qt::PlainText);
    title->setFont(scaledFont(font(), 1.0, QFont::Bold));
    title->setWordWrap(true);
    column->addWidget(title);
    auto* message = new QLabel(notice_.message);
    message->setObjectName(QStringLiteral("noticeMessage"));
    message->setTextFormat(Qt::PlainText);
    message->setWordWrap(true);
    setSecondary(*message);
    column->addWidget(message);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    auto* secondary = new QPushButton(notice_.secondaryTitle);
    secondary->setObjectName(QStringLiteral("secondaryButton"));
    secondary->setFocusPolicy(Qt::NoFocus);
    QObject::connect(secondary, &QPushButton::clicked, this, [this] {
        if (notice_.secondary) {
            notice_.secondary();
        }
    });
    buttons->addWidget(secondary);
    auto* primary = new QPushButton(notice_.primaryTitle);
    primary->setObjectName(QStringLiteral("primaryButton"));
    FilledButtonStyle::apply(*primary, tint);
    QObject::connect(primary, &QPushButton::clicked, this, [this] {
        if (notice_.primary) {
            notice_.primary();
        }
    });
    buttons->addWidget(primary);
    column->addLayout(buttons);
    row->addLayout(column, 1);

    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->addWidget(new PanelBackground(content));
}

// ---------------------------------------------------------------------------------------------------------

void PanelViews::LaterDeleter::operator()(QObject* object) const {
    if (object != nullptr) {
        if (auto* widget = qobject_cast<QWidget*>(object)) {
            widget->hide();
        }
        object->deleteLater();
    }
}

PanelViews::PanelViews(RecorderModel& model) : model_(model) {}

PanelViews::~PanelViews() = default;

void PanelViews::showRecordingPanel() {
    if (!overlay_) {
        overlay_ = PanelPointer(
            new FloatingPanel(new RecordingOverlayView(model_), QStringLiteral("QuilloraOverlay")));
        // What window lists and assistive technology call the panel.
        overlay_->setWindowTitle(QStringLiteral("In registrazione"));
    }
    overlay_->showPanel();
}

void PanelViews::hideRecordingPanel() {
    if (overlay_) {
        overlay_->hide();
    }
}

void PanelViews::showNotice(const Notice& notice) {
    notice_ = PanelPointer(new FloatingPanel(new NoticeView(notice), QStringLiteral("QuilloraNotice")));
    notice_->setWindowTitle(notice.title);
    // Both start at the top right: a notice with no place of its own goes beside the recording panel.
    if (!notice_->hasRememberedPosition() && overlay_ && overlay_->isVisible()) {
        notice_->placeClearOf(overlay_->frameGeometry());
    }
    notice_->showPanel();
}

void PanelViews::closeNotice() {
    notice_.reset();
}

QPoint PanelViews::demoNoticeOrigin(const QRect& screen, const QSize& size) {
    return {screen.x() + 80, screen.y() + screen.height() - 120 - size.height()};
}

void PanelViews::showDemoNotice(const Notice& notice) {
    auto panel =
        PanelPointer(new FloatingPanel(new NoticeView(notice), QStringLiteral("QuilloraDemoUpdate")));
    panel->setWindowTitle(notice.title);
    // The demonstration spreads its windows out: this notice goes to the lower left, away from the
    // recording panel and the call notice at the top right.
    if (const QScreen* primary = QGuiApplication::primaryScreen()) {
        panel->move(demoNoticeOrigin(primary->geometry(), panel->frameGeometry().size()));
    }
    panel->showPanel();
    demo_.push_back(std::move(panel));
}

void PanelViews::openFeedback(const std::optional<QString>& microphone) {
    if (!feedback_) {
        // "Annulla" and "Chiudi" drop the window, so the next opening starts with an empty form.
        feedback_.reset(FeedbackView::createWindow(microphone, [this] { feedback_.reset(); }));
    }
    feedback_->show();
    feedback_->raise();
    feedback_->activateWindow();
}

void PanelViews::activateApplication() {
    // The program has no main window: whatever ordinary window is open (a dialog) comes to the front.
    for (QWidget* window : QApplication::topLevelWidgets()) {
        if (window->isVisible() && qobject_cast<FloatingPanel*>(window) == nullptr) {
            window->raise();
            window->activateWindow();
        }
    }
}
