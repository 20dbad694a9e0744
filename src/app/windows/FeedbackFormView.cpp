#include "app/windows/FeedbackFormView.h"

#include "app/windows/AlertBox.h"
#include "app/windows/HttpSupport.h"
#include "core/Language.h"

#include <QButtonGroup>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTextCursor>
#include <QVBoxLayout>

namespace tallowin {

namespace {

QString qText(const std::string& text)
{
    return QString::fromStdString(text);
}

QLabel* captionLabel(QWidget* parent, const char* objectName, bool error)
{
    auto* caption = new QLabel(parent);
    caption->setObjectName(QLatin1String(objectName));
    QFont font = caption->font();
    font.setPointSizeF(font.pointSizeF() * 0.85);
    caption->setFont(font);
    if (error) {
        QPalette palette = caption->palette();
        palette.setColor(QPalette::WindowText, QColor(0xd7, 0x26, 0x1e));
        caption->setPalette(palette);
        caption->setVisible(false);
    } else {
        caption->setForegroundRole(QPalette::PlaceholderText);
    }
    return caption;
}

QString counterText(const QString& text, int maximum)
{
    return QString::asprintf("%lld/%lld", static_cast<long long>(characterCount(trimmedText(text))),
        static_cast<long long>(maximum));
}

}

FeedbackFormView::FeedbackFormView(QWidget* parent)
    : FeedbackFormView(WindowsConfiguration::buildTime(), parent)
{ }

FeedbackFormView::FeedbackFormView(WindowsConfiguration configuration, QWidget* parent)
    : QWidget(parent)
    , m_configuration(std::move(configuration))
    , m_network(new QNetworkAccessManager(this))
{
    buildContent();
    refreshCaptions();
}

FeedbackFormView::~FeedbackFormView() = default;

QSize FeedbackFormView::sizeHint() const
{
    return { 520, 560 };
}

void FeedbackFormView::buildContent()
{
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(20, 16, 20, 16);
    column->setSpacing(6);

    auto* heading = new QLabel(qText(FeedbackTexts::windowTitle()), this);
    QFont headingFont = heading->font();
    headingFont.setPointSizeF(headingFont.pointSizeF() * 1.4);
    headingFont.setBold(true);
    heading->setFont(headingFont);
    column->addWidget(heading);
    column->addSpacing(6);

    // A segmented control: one exclusive row of checkable buttons.
    auto* typeRow = new QHBoxLayout;
    typeRow->setSpacing(0);
    typeRow->addWidget(new QLabel(qText(FeedbackTexts::typeLabel()), this));
    typeRow->addSpacing(12);
    m_typeGroup = new QButtonGroup(this);
    m_typeGroup->setExclusive(true);
    for (FeedbackType type : allFeedbackTypes) {
        auto* button = new QPushButton(qText(label(type)), this);
        button->setCheckable(true);
        button->setObjectName(QStringLiteral("type_%1").arg(QLatin1String(wireValue(type).data(), static_cast<qsizetype>(wireValue(type).size()))));
        button->setFocusPolicy(Qt::TabFocus);
        m_typeGroup->addButton(button, static_cast<int>(type));
        typeRow->addWidget(button);
    }
    m_typeGroup->button(static_cast<int>(FeedbackType::suggestion))->setChecked(true);
    typeRow->addStretch();
    column->addLayout(typeRow);
    column->addSpacing(8);

    m_title = new QLineEdit(this);
    m_title->setObjectName(QStringLiteral("titleField"));
    m_title->setPlaceholderText(qText(FeedbackTexts::titlePlaceholder()));
    connect(m_title, &QLineEdit::textChanged, this, &FeedbackFormView::titleChanged);
    column->addWidget(m_title);
    m_titleCounter = captionLabel(this, "titleCounter", false);
    m_titleError = captionLabel(this, "titleError", true);
    column->addWidget(m_titleCounter);
    column->addWidget(m_titleError);

    m_content = new QPlainTextEdit(this);
    m_content->setObjectName(QStringLiteral("contentField"));
    m_content->setPlaceholderText(qText(FeedbackTexts::contentPlaceholder()));
    m_content->setMinimumHeight(160);
    m_content->setTabChangesFocus(true);
    m_content->setStyleSheet(QStringLiteral(
        "QPlainTextEdit#contentField { border: 1px solid palette(mid); border-radius: 8px; padding: 4px; }"));
    connect(m_content, &QPlainTextEdit::textChanged, this, &FeedbackFormView::contentChanged);
    column->addWidget(m_content, 1);
    m_contentCounter = captionLabel(this, "contentCounter", false);
    m_contentError = captionLabel(this, "contentError", true);
    column->addWidget(m_contentCounter);
    column->addWidget(m_contentError);

    m_email = new QLineEdit(this);
    m_email->setObjectName(QStringLiteral("emailField"));
    m_email->setPlaceholderText(qText(FeedbackTexts::emailPlaceholder()));
    connect(m_email, &QLineEdit::textChanged, this, &FeedbackFormView::refreshCaptions);
    column->addWidget(m_email);
    m_emailError = captionLabel(this, "emailError", true);
    column->addWidget(m_emailError);
    column->addSpacing(8);

    auto* submitRow = new QHBoxLayout;
    m_submit = new QPushButton(qText(FeedbackTexts::submitButton()), this);
    m_submit->setObjectName(QStringLiteral("submitButton"));
    m_submit->setDefault(true);
    QFont submitFont = m_submit->font();
    submitFont.setBold(true);
    m_submit->setFont(submitFont);
    m_submit->setMinimumWidth(120);
    connect(m_submit, &QPushButton::clicked, this, &FeedbackFormView::submit);
    submitRow->addWidget(m_submit);
    m_busy = new QProgressBar(this);
    m_busy->setObjectName(QStringLiteral("submittingIndicator"));
    m_busy->setRange(0, 0);
    m_busy->setMaximumWidth(120);
    m_busy->setTextVisible(false);
    m_busy->setVisible(false);
    submitRow->addWidget(m_busy);
    submitRow->addStretch();
    column->addLayout(submitRow);

    setTabOrder(m_title, m_content);
    setTabOrder(m_content, m_email);
    setTabOrder(m_email, m_submit);
}

FeedbackType FeedbackFormView::feedbackType() const
{
    return static_cast<FeedbackType>(m_typeGroup->checkedId());
}

void FeedbackFormView::setFeedbackType(FeedbackType type)
{
    m_typeGroup->button(static_cast<int>(type))->setChecked(true);
}

QString FeedbackFormView::title() const
{
    return m_title->text();
}

QString FeedbackFormView::content() const
{
    return m_content->toPlainText();
}

QString FeedbackFormView::contactEmail() const
{
    return m_email->text();
}

FeedbackDraft FeedbackFormView::draft() const
{
    return { feedbackType(), title(), content(), contactEmail() };
}

QWidget* FeedbackFormView::fieldWidget(FeedbackField field) const
{
    switch (field) {
    case FeedbackField::title:
        return m_title;
    case FeedbackField::content:
        return m_content;
    case FeedbackField::email:
        return m_email;
    }
    return nullptr;
}

std::optional<FeedbackField> FeedbackFormView::focusedField() const
{
    // The child that holds (or, in an inactive window, will get back) the keyboard focus.
    QWidget* focused = focusWidget();
    for (FeedbackField field : { FeedbackField::title, FeedbackField::content, FeedbackField::email }) {
        QWidget* widget = fieldWidget(field);
        if (focused && (focused == widget || widget->isAncestorOf(focused)))
            return field;
    }
    return std::nullopt;
}

QString FeedbackFormView::titleCounterText() const
{
    return m_titleCounter->text();
}

QString FeedbackFormView::contentCounterText() const
{
    return m_contentCounter->text();
}

QString FeedbackFormView::titleErrorText() const
{
    return m_titleError->isVisibleTo(this) ? m_titleError->text() : QString();
}

QString FeedbackFormView::contentErrorText() const
{
    return m_contentError->isVisibleTo(this) ? m_contentError->text() : QString();
}

QString FeedbackFormView::emailErrorText() const
{
    return m_emailError->isVisibleTo(this) ? m_emailError->text() : QString();
}

void FeedbackFormView::titleChanged()
{
    QString text = m_title->text();
    if (characterCount(text) > titleMax) {
        // Typed or pasted past the limit: keep the beginning, as if the field had stopped there.
        QSignalBlocker blocker(m_title);
        m_title->setText(truncatedToCharacters(text, titleMax));
    }
    refreshCaptions();
}

void FeedbackFormView::contentChanged()
{
    QString text = m_content->toPlainText();
    if (characterCount(text) > contentMax) {
        QSignalBlocker blocker(m_content);
        m_content->setPlainText(truncatedToCharacters(text, contentMax));
        m_content->moveCursor(QTextCursor::End);
    }
    refreshCaptions();
}

void FeedbackFormView::refreshCaptions()
{
    m_titleCounter->setText(counterText(m_title->text(), titleMax));
    m_contentCounter->setText(counterText(m_content->toPlainText(), contentMax));

    bool titleWrong = !trimmedText(m_title->text()).isEmpty() && !isTitleValid(m_title->text());
    m_titleError->setText(qText(FeedbackTexts::titleLengthError()));
    m_titleError->setVisible(titleWrong);
    bool contentWrong = !trimmedText(m_content->toPlainText()).isEmpty() && !isContentValid(m_content->toPlainText());
    m_contentError->setText(qText(FeedbackTexts::contentLengthError()));
    m_contentError->setVisible(contentWrong);
    bool emailWrong = !trimmedText(m_email->text()).isEmpty() && !isEmailValid(m_email->text());
    m_emailError->setText(qText(FeedbackTexts::emailFormatError()));
    m_emailError->setVisible(emailWrong);
}

void FeedbackFormView::submit()
{
    if (m_isSubmitting)
        return;
    FeedbackDraft current = draft();
    if (std::optional<FeedbackField> invalid = firstInvalidField(current)) {
        fieldWidget(*invalid)->setFocus(Qt::OtherFocusReason);
        return;
    }

    setSubmitting(true);
    auto body = feedbackRequestBody(current, m_configuration.productIdentifier);
    std::string endpoint = m_configuration.serviceBaseUrl;
    endpoint.append("/api/feedback");
    std::optional<QUrl> url = validWebUrl(QString::fromStdString(endpoint));
    if (!body || !url) {
        // Nothing could be sent; to the user it is the same as the service failing.
        setSubmitting(false);
        showResult(transportFailureResult());
        emit submissionFinished();
        return;
    }
    QNetworkRequest request = makeServiceRequest(*url, m_configuration.requestTimeoutMilliseconds);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    QNetworkReply* reply = m_network->post(request, QByteArray::fromStdString(body.value()));
    connect(reply, &QNetworkReply::finished, this, [this, reply] { finishSubmission(reply); });
}

void FeedbackFormView::finishSubmission(QNetworkReply* reply)
{
    reply->deleteLater();
    setSubmitting(false);
    if (std::optional<int> status = httpStatus(*reply)) {
        FeedbackResult result = interpretFeedbackAnswer(*status, reply->readAll());
        if (result.accepted)
            reset();
        showResult(std::move(result));
    } else if (reply->error() != QNetworkReply::NoError) {
        showResult(transportFailureResult());
    } else {
        showResult({ AlertMessage(FeedbackTexts::unknownResponse()), false });
    }
    emit submissionFinished();
}

void FeedbackFormView::setSubmitting(bool submitting)
{
    m_isSubmitting = submitting;
    m_submit->setEnabled(!submitting);
    m_busy->setVisible(submitting);
}

void FeedbackFormView::reset()
{
    setFeedbackType(FeedbackType::suggestion);
    m_title->clear();
    m_content->clear();
    m_email->clear();
    m_title->setFocus(Qt::OtherFocusReason);
}

void FeedbackFormView::showResult(FeedbackResult result)
{
    m_alertMessage = std::move(result.notice);
    Uuid shown = m_alertMessage->id;
    QMessageBox* box = openAlertBox(this, QMessageBox::Information, qText(FeedbackTexts::noticeTitle()),
        qText(m_alertMessage->text));
    box->addButton(qText(FeedbackTexts::okButton()), QMessageBox::AcceptRole);
    connect(box, &QMessageBox::finished, this, [this, shown] {
        if (m_alertMessage && m_alertMessage->id == shown)
            m_alertMessage.reset();
    });
    m_alert = box;
    box->open();
}

}
