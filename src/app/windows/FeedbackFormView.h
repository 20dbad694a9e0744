#pragma once

// moc reads this header but cannot parse <compare>, which the value types include; it does
// not need them to generate the signals and slots.
#ifndef Q_MOC_RUN
#include "app/windows/FeedbackForm.h"
#include "app/windows/WindowsConfiguration.h"
#include "core/AlertMessage.h"
#endif

#include <QPointer>
#include <QWidget>

#include <optional>

class QAbstractButton;
class QButtonGroup;
class QLabel;
class QLineEdit;
class QMessageBox;
class QNetworkAccessManager;
class QNetworkReply;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;

namespace tallowin {

// The Feedback window's content: a type, a title, a message and an optional e-mail address,
// checked while typing and posted as JSON to the maker's feedback endpoint. Main thread only;
// the post runs through QtNetwork and reports back through the event loop.
class FeedbackFormView : public QWidget {
    Q_OBJECT

public:
    explicit FeedbackFormView(QWidget* parent = nullptr);
    explicit FeedbackFormView(WindowsConfiguration, QWidget* parent = nullptr);
    ~FeedbackFormView() override;

    FeedbackType feedbackType() const;
    void setFeedbackType(FeedbackType);
    QString title() const;
    QString content() const;
    QString contactEmail() const;
    FeedbackDraft draft() const;

    bool isSubmitting() const { return m_isSubmitting; }
    const std::optional<AlertMessage>& alertMessage() const { return m_alertMessage; }
    QMessageBox* currentAlert() const { return m_alert; }
    std::optional<FeedbackField> focusedField() const;
    QWidget* fieldWidget(FeedbackField) const;

    // The texts under the fields as they are shown; an error caption that is hidden reads empty.
    QString titleCounterText() const;
    QString contentCounterText() const;
    QString titleErrorText() const;
    QString contentErrorText() const;
    QString emailErrorText() const;

    QSize sizeHint() const override;

public slots:
    // What "Submit" does: the first invalid field gets the focus, else the draft is posted.
    void submit();

signals:
    void submissionFinished();

private:
    void buildContent();
    void titleChanged();
    void contentChanged();
    void refreshCaptions();
    void finishSubmission(QNetworkReply*);
    void showResult(FeedbackResult);
    void setSubmitting(bool);
    void reset();

    WindowsConfiguration m_configuration;
    QNetworkAccessManager* m_network;
    bool m_isSubmitting = false;
    std::optional<AlertMessage> m_alertMessage;
    QPointer<QMessageBox> m_alert;

    QButtonGroup* m_typeGroup = nullptr;
    QLineEdit* m_title = nullptr;
    QLabel* m_titleCounter = nullptr;
    QLabel* m_titleError = nullptr;
    QPlainTextEdit* m_content = nullptr;
    QLabel* m_contentCounter = nullptr;
    QLabel* m_contentError = nullptr;
    QLineEdit* m_email = nullptr;
    QLabel* m_emailError = nullptr;
    QPushButton* m_submit = nullptr;
    QProgressBar* m_busy = nullptr;
};

}
