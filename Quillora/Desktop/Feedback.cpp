#include "Quillora/Desktop/Feedback.h"

#include "Quillora/Desktop/FloatingPanel.h"
#include "Quillora/Desktop/Symbols.h"
#include "Quillora/Services/AppInfo.h"
#include "Quillora/Services/FeedbackSender.h"

#include <QApplication>
#include <QCheckBox>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QToolButton>
#include <QVBoxLayout>
#include <QVariantAnimation>
#include <algorithm>
#include <memory>

namespace {

const QString nameKey = QStringLiteral("feedbackName");
const QString emailKey = QStringLiteral("feedbackEmail");

QSettings preferences() {
    return QSettings(QStringLiteral("Tandrevel"), QStringLiteral("Quillora"));
}

QFont titleFont(const QFont& base) {
    return scaledFont(base, 1.25, QFont::DemiBold);
}

QFont calloutFont(const QFont& base) {
    return scaledFont(base, 0.92, QFont::Normal);
}

QLabel* wrappingLabel(const QString& text) {
    auto* label = new QLabel(text);
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    return label;
}

QLabel* symbolLabel(const QString& symbol, const QColor& color, int size) {
    auto* label = new QLabel;
    label->setPixmap(Symbols::pixmap(symbol, color, size));
    label->setFixedSize(size, size);
    return label;
}

} // namespace

// A small turning arc shown in the send button while a message is on its way.
class FeedbackSpinner : public QWidget {
public:
    static constexpr int size = 14;

    explicit FeedbackSpinner(QWidget* parent)
        : QWidget(parent), turn_(std::make_unique<QVariantAnimation>()) {
        setFixedSize(size, size);
        setAttribute(Qt::WA_TransparentForMouseEvents);
        turn_->setStartValue(0.0);
        turn_->setEndValue(360.0);
        turn_->setDuration(900);
        turn_->setLoopCount(-1);
        QObject::connect(turn_.get(), &QVariantAnimation::valueChanged, this, [this](const QVariant& value) {
            angle_ = value.toDouble();
            update();
        });
    }

    ~FeedbackSpinner() override { turn_->stop(); }

    void setSpinning(bool spinning) {
        setVisible(spinning);
        if (spinning) {
            turn_->start();
        } else {
            turn_->stop();
        }
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        QPen pen(Qt::white, 2);
        pen.setCapStyle(Qt::RoundCap);
        painter.setPen(pen);
        const QRectF circle = QRectF(rect()).adjusted(1.5, 1.5, -1.5, -1.5);
        painter.drawArc(circle, qRound(-angle_ * 16), 270 * 16);
    }

private:
    std::unique_ptr<QVariantAnimation> turn_;
    double angle_ = 0;
};

FeedbackView::FeedbackView(std::optional<QString> microphone, std::function<void()> close, QWidget* parent)
    : QWidget(parent), microphone_(std::move(microphone)), close_(std::move(close)) {
    setFixedWidth(formWidth);
    auto* stack = new QVBoxLayout(this);
    stack->setContentsMargins(padding, padding, padding, padding);
    stack->setSpacing(0);

    // The form.
    form_ = new QWidget;
    auto* column = new QVBoxLayout(form_);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(spacing);

    auto* title = wrappingLabel(QStringLiteral("Cosa funziona, cosa no, cosa ti manca?"));
    title->setFont(titleFont(font()));
    column->addWidget(title);
    auto* hint = wrappingLabel(
        QStringLiteral("Scrivi come ti viene. Se qualcosa non ha funzionato, racconta cosa stavi facendo."));
    Symbols::setTextColor(*hint, Symbols::textColor(*hint, 0.6));
    column->addWidget(hint);

    message_ = new QPlainTextEdit;
    message_->setObjectName(QStringLiteral("message"));
    message_->setAccessibleName(QStringLiteral("Messaggio"));
    message_->setMinimumHeight(editorMinHeight);
    message_->setTabChangesFocus(true);
    const QColor border = Symbols::textColor(*this, 0.15);
    message_->setStyleSheet(
        QStringLiteral("QPlainTextEdit { background: palette(base); border: 1px solid %1; "
                       "border-radius: 8px; padding: 6px; }")
            .arg(border.name(QColor::HexArgb)));
    column->addWidget(message_);

    auto* people = new QHBoxLayout;
    const QSettings stored = preferences();
    name_ = new QLineEdit(stored.value(nameKey).toString());
    name_->setObjectName(QStringLiteral("name"));
    name_->setPlaceholderText(QStringLiteral("Nome (facoltativo)"));
    people->addWidget(name_);
    email_ = new QLineEdit(stored.value(emailKey).toString());
    email_->setObjectName(QStringLiteral("email"));
    email_->setPlaceholderText(QStringLiteral("Email per la risposta (facoltativa)"));
    people->addWidget(email_);
    column->addLayout(people);

    includeReport_ = new QCheckBox(
        QStringLiteral("Allega informazioni tecniche (versione, dispositivi audio, log). Nessun audio."));
    includeReport_->setObjectName(QStringLiteral("includeReport"));
    includeReport_->setFont(calloutFont(font()));
    includeReport_->setChecked(true);
    column->addWidget(includeReport_);

    reportGroup_ = new QWidget;
    auto* group = new QVBoxLayout(reportGroup_);
    group->setContentsMargins(0, 0, 0, 0);
    group->setSpacing(6);
    reportToggle_ = new QToolButton;
    reportToggle_->setObjectName(QStringLiteral("reportToggle"));
    reportToggle_->setText(QStringLiteral("Vedi cosa viene inviato"));
    reportToggle_->setFont(calloutFont(font()));
    reportToggle_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    reportToggle_->setArrowType(Qt::RightArrow);
    reportToggle_->setCheckable(true);
    reportToggle_->setAutoRaise(true);
    group->addWidget(reportToggle_);
    report_ = new QPlainTextEdit;
    report_->setObjectName(QStringLiteral("report"));
    report_->setReadOnly(true);
    report_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    report_->setFixedHeight(reportHeight);
    report_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    mono.setPointSizeF(std::max(1.0, calloutFont(font()).pointSizeF() * 0.9));
    report_->setFont(mono);
    report_->setVisible(false);
    group->addWidget(report_);
    column->addWidget(reportGroup_);

    errorRow_ = new QWidget;
    auto* errorLayout = new QHBoxLayout(errorRow_);
    errorLayout->setContentsMargins(0, 0, 0, 0);
    const QColor red = Symbols::namedColor(QStringLiteral("red"));
    const QFont callout = calloutFont(font());
    errorLayout->addWidget(
        symbolLabel(QStringLiteral("exclamationmark.triangle.fill"), red, QFontMetrics(callout).height()));
    errorText_ = wrappingLabel(QString());
    errorText_->setObjectName(QStringLiteral("error"));
    errorText_->setFont(callout);
    Symbols::setTextColor(*errorText_, red);
    errorLayout->addWidget(errorText_, 1);
    column->addWidget(errorRow_);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    auto* cancel = new QPushButton(QStringLiteral("Annulla"));
    cancel->setObjectName(QStringLiteral("cancel"));
    cancel->setAutoDefault(false);
    buttons->addWidget(cancel);
    send_ = new QPushButton(QStringLiteral("Invia feedback"));
    send_->setObjectName(QStringLiteral("send"));
    send_->setAutoDefault(false);
    FilledButtonStyle::apply(*send_, Symbols::namedColor(QStringLiteral("blue")));
    // While sending the label gives way to the spinner; the button keeps its size.
    send_->setMinimumWidth(send_->sizeHint().width());
    spinner_ = new FeedbackSpinner(send_);
    spinner_->setSpinning(false);
    auto* spinnerLayout = new QHBoxLayout(send_);
    spinnerLayout->setContentsMargins(0, 0, 0, 0);
    spinnerLayout->addWidget(spinner_, 0, Qt::AlignCenter);
    buttons->addWidget(send_);
    column->addLayout(buttons);
    stack->addWidget(form_);

    // The thank-you page.
    thanks_ = new QWidget;
    thanks_->setObjectName(QStringLiteral("thanks"));
    thanks_->setMinimumHeight(thanksMinHeight);
    auto* page = new QVBoxLayout(thanks_);
    page->setContentsMargins(0, 0, 0, 0);
    page->setSpacing(10);
    page->addStretch(1);
    page->addWidget(symbolLabel(QStringLiteral("checkmark.circle.fill"),
                                Symbols::namedColor(QStringLiteral("green")), 40),
                    0, Qt::AlignHCenter);
    auto* thanksTitle = new QLabel(QStringLiteral("Grazie, il feedback è arrivato."));
    thanksTitle->setFont(titleFont(font()));
    page->addWidget(thanksTitle, 0, Qt::AlignHCenter);
    auto* thanksText = new QLabel(QStringLiteral("Lo leggo e ti scrivo se hai lasciato l'email."));
    Symbols::setTextColor(*thanksText, Symbols::textColor(*thanksText, 0.6));
    page->addWidget(thanksText, 0, Qt::AlignHCenter);
    page->addSpacing(6);
    auto* done = new QPushButton(QStringLiteral("Chiudi"));
    done->setObjectName(QStringLiteral("done"));
    done->setAutoDefault(false);
    page->addWidget(done, 0, Qt::AlignHCenter);
    page->addStretch(1);
    thanks_->setVisible(false);
    stack->addWidget(thanks_);

    // The name and the reply address are written as they are typed, so they are there next time.
    connect(name_, &QLineEdit::textChanged, this,
            [](const QString& text) { preferences().setValue(nameKey, text); });
    connect(email_, &QLineEdit::textChanged, this,
            [](const QString& text) { preferences().setValue(emailKey, text); });
    connect(message_, &QPlainTextEdit::textChanged, this, &FeedbackView::refresh);
    connect(includeReport_, &QCheckBox::toggled, this, &FeedbackView::refresh);
    connect(reportToggle_, &QToolButton::toggled, this, [this](bool open) {
        reportToggle_->setArrowType(open ? Qt::DownArrow : Qt::RightArrow);
        report_->setVisible(open);
    });
    connect(cancel, &QPushButton::clicked, this, [this] { close_(); });
    connect(done, &QPushButton::clicked, this, [this] { close_(); });
    connect(send_, &QPushButton::clicked, this, &FeedbackView::submit);
    refresh();
}

FeedbackView::~FeedbackView() = default;

bool FeedbackView::isSendable(const QString& message) {
    return FeedbackSender::characterCount(message.trimmed()) >= 2;
}

void FeedbackView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    diagnostics_ = AppInfo::diagnostics(microphone_);
    report_->setPlainText(diagnostics_);
}

void FeedbackView::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        if (sent_) {
            close_();
        } else {
            submit();
        }
        return;
    case Qt::Key_Escape:
        close_();
        return;
    default:
        QWidget::keyPressEvent(event);
    }
}

void FeedbackView::submit() {
    if (sent_ || sending_ || !isSendable(message_->toPlainText())) {
        return;
    }
    sending_ = true;
    error_.reset();
    refresh();
    FeedbackSender::Message request{
        message_->toPlainText(), name_->text(), email_->text(),
        includeReport_->isChecked() ? std::optional<QString>(diagnostics_) : std::nullopt, microphone_};
    FeedbackSender::send(request, this, [this](std::optional<FeedbackSender::Error> failure) {
        finish(failure ? std::optional<QString>(failure->description) : std::nullopt);
    });
}

void FeedbackView::finish(const std::optional<QString>& error) {
    if (error) {
        error_ = error;
    } else {
        sent_ = true;
    }
    sending_ = false;
    refresh();
}

void FeedbackView::refresh() {
    form_->setVisible(!sent_);
    thanks_->setVisible(sent_);
    reportGroup_->setVisible(includeReport_->isChecked());
    errorRow_->setVisible(error_.has_value());
    errorText_->setText(error_.value_or(QString()));
    spinner_->setSpinning(sending_);
    send_->setText(sending_ ? QString() : QStringLiteral("Invia feedback"));
    send_->setEnabled(!sending_ && isSendable(message_->toPlainText()));
    if (sent_) {
        // Only "Chiudi" remains; Return from it reaches this view and closes.
        if (auto* done = thanks_->findChild<QPushButton*>(QStringLiteral("done"))) {
            done->setFocus();
        }
    }
    emit stateChanged();
}

QWidget* FeedbackView::createWindow(std::optional<QString> microphone, std::function<void()> close) {
    auto* window = new QWidget(nullptr, Qt::Window | Qt::WindowStaysOnTopHint | Qt::WindowTitleHint |
                                            Qt::WindowCloseButtonHint);
    window->setWindowTitle(QStringLiteral("Feedback su Quillora"));
    auto* layout = new QVBoxLayout(window);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSizeConstraint(QLayout::SetFixedSize); // the window follows the form's size
    layout->addWidget(new FeedbackView(std::move(microphone), std::move(close)));
    window->adjustSize();
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect available = screen->availableGeometry();
        window->move(available.center() - QPoint(window->width() / 2, window->height() / 2));
    }
    return window;
}
