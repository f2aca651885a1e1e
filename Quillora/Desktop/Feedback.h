#pragma once

#include <QString>
#include <QWidget>
#include <functional>
#include <optional>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QToolButton;
class FeedbackSpinner;

// The feedback form: a free-text message, an optional name and reply address (remembered in the
// preferences as "feedbackName" and "feedbackEmail"), the choice to attach the technical report, which
// can be looked at before sending, and the send button. A failure shows in red above the buttons and
// leaves everything typed in place; success replaces the form with a thank-you page. Return sends (or
// closes the thank-you page), Escape closes.
class FeedbackView : public QWidget {
    Q_OBJECT

public:
    static constexpr int formWidth = 520;
    static constexpr int padding = 20;
    static constexpr int spacing = 14;
    static constexpr int editorMinHeight = 140;
    static constexpr int reportHeight = 120;
    static constexpr int thanksMinHeight = 260;

    FeedbackView(std::optional<QString> microphone, std::function<void()> close, QWidget* parent = nullptr);
    ~FeedbackView() override;

    // The message has at least 2 characters once white space is trimmed from both ends.
    static bool isSendable(const QString& message);

    bool sending() const { return sending_; }
    bool sent() const { return sent_; }
    std::optional<QString> error() const { return error_; }
    QString diagnostics() const { return diagnostics_; }

    // Sends the form as it stands, unless a send is running or the message is too short.
    void submit();

    // A window titled "Feedback su Quillora" holding a new form, sized to it and centred on the primary
    // screen; `close` is what "Annulla" and "Chiudi" do.
    static QWidget* createWindow(std::optional<QString> microphone, std::function<void()> close);

signals:
    void stateChanged();

protected:
    void showEvent(QShowEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void refresh();
    void finish(const std::optional<QString>& error);

    std::optional<QString> microphone_;
    std::function<void()> close_;
    bool sending_ = false;
    bool sent_ = false;
    std::optional<QString> error_;
    QString diagnostics_;

    QWidget* form_ = nullptr;
    QWidget* thanks_ = nullptr;
    QPlainTextEdit* message_ = nullptr;
    QLineEdit* name_ = nullptr;
    QLineEdit* email_ = nullptr;
    QCheckBox* includeReport_ = nullptr;
    QWidget* reportGroup_ = nullptr;
    QToolButton* reportToggle_ = nullptr;
    QPlainTextEdit* report_ = nullptr;
    QWidget* errorRow_ = nullptr;
    QLabel* errorText_ = nullptr;
    QPushButton* send_ = nullptr;
    FeedbackSpinner* spinner_ = nullptr;
};
