#include "app/windows/AboutTallowinView.h"

#include "app/windows/AlertBox.h"
#include "app/windows/HttpSupport.h"
#include "app/windows/QRCodeView.h"
#include "core/Language.h"
#include "core/Messages.h"

#include <QApplication>
#include <QDir>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPainter>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProgressBar>
#include <QPushButton>
#include <QSaveFile>
#include <QScrollArea>
#include <QStyle>
#include <QVBoxLayout>

#include <fmt/format.h>

namespace tallowin {

namespace {

QString qText(const std::string& text)
{
    return QString::fromStdString(text);
}

QString orDash(const std::string& text)
{
    return text.empty() ? QStringLiteral("—") : QString::fromStdString(text);
}

// The running program's own icon, else the theme's drive icon, else a drawn one: a bare build
// and the offscreen tests have neither of the first two at this size.
QPixmap applicationIcon(int side, qreal ratio)
{
    QSize size(side, side);
    for (const QIcon& icon : { QApplication::windowIcon(), QIcon::fromTheme(QStringLiteral("drive-harddisk")) }) {
        if (!icon.isNull() && icon.actualSize(size).width() >= side)
            return icon.pixmap(size, ratio);
    }
    QPixmap drawn(size * ratio);
    drawn.setDevicePixelRatio(ratio);
    drawn.fill(Qt::transparent);
    QPainter painter(&drawn);
    painter.setRenderHint(QPainter::Antialiasing);
    QLinearGradient shade(0, 0, 0, side);
    shade.setColorAt(0, QColor(0x4a, 0x90, 0xe2));
    shade.setColorAt(1, QColor(0x1f, 0x5f, 0xb0));
    painter.setPen(Qt::NoPen);
    painter.setBrush(shade);
    painter.drawRoundedRect(QRectF(2, 2, side - 4, side - 4), side * 0.22, side * 0.22);
    // A drive: a rounded slab with an activity light.
    QRectF slab(side * 0.18, side * 0.36, side * 0.64, side * 0.3);
    painter.setBrush(QColor(255, 255, 255, 235));
    painter.drawRoundedRect(slab, side * 0.06, side * 0.06);
    painter.setBrush(QColor(0x3c, 0xd0, 0x70));
    painter.drawEllipse(QPointF(slab.right() - side * 0.1, slab.center().y()), side * 0.045, side * 0.045);
    return drawn;
}

QFont scaledFont(QFont font, double factor, bool bold)
{
    font.setPointSizeF(font.pointSizeF() * factor);
    font.setBold(bold);
    return font;
}

}

// One download in flight. The bytes go straight into a temporary file beside the destination;
// only a complete download is renamed over the destination, so an existing file is replaced in
// one step and an interrupted download leaves nothing behind.
struct AboutTallowinView::Download {
    QPointer<QNetworkReply> reply;
    std::unique_ptr<QSaveFile> file;
    QString failure;
};

AboutTallowinView::AboutTallowinView(QWidget* parent)
    : AboutTallowinView(WindowsConfiguration::buildTime(), DesktopServices::system(), parent)
{ }

AboutTallowinView::AboutTallowinView(WindowsConfiguration configuration, std::shared_ptr<DesktopServices> desktop,
    QWidget* parent)
    : QWidget(parent)
    , m_configuration(std::move(configuration))
    , m_desktop(std::move(desktop))
    , m_network(new QNetworkAccessManager(this))
{
    setMinimumSize(360, 320);
    buildContent();
}

AboutTallowinView::~AboutTallowinView() = default;

bool AboutTallowinView::isDownloading() const
{
    return m_download != nullptr;
}

QString AboutTallowinView::versionLineText() const
{
    return qText(Messages::versionLine(orDash(m_configuration.shortVersion).toStdString(),
        orDash(m_configuration.buildNumber).toStdString()));
}

QSize AboutTallowinView::sizeHint() const
{
    return { 420, 380 };
}

void AboutTallowinView::buildContent()
{
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    auto* scroll = new QScrollArea(this);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    outer->addWidget(scroll);

    auto* content = new QWidget(scroll);
    scroll->setWidget(content);
    auto* column = new QVBoxLayout(content);
    column->setContentsMargins(20, 20, 20, 20);
    column->setSpacing(12);

    auto* header = new QHBoxLayout;
    header->setSpacing(12);
    auto* iconLabel = new QLabel(content);
    int iconSide = static_cast<int>(appIconSize);
    iconLabel->setPixmap(applicationIcon(iconSide, devicePixelRatioF()));
    iconLabel->setFixedSize(iconSide, iconSide);
    auto* name = new QLabel(QStringLiteral("Tallowin"), content);
    name->setFont(scaledFont(name->font(), 1.7, true));
    header->addWidget(iconLabel);
    header->addWidget(name);
    header->addStretch();
    column->addLayout(header);

    auto* version = new QLabel(versionLineText(), content);
    version->setObjectName(QStringLiteral("versionLine"));
    version->setTextInteractionFlags(Qt::TextSelectableByMouse);
    column->addWidget(version);

    auto* checkRow = new QHBoxLayout;
    m_checkButton = new QPushButton(qText(UpdateTexts::checkUpdateButton()), content);
    m_checkButton->setObjectName(QStringLiteral("checkUpdateButton"));
    connect(m_checkButton, &QPushButton::clicked, this, &AboutTallowinView::checkForUpdate);
    checkRow->addWidget(m_checkButton);
    m_progressLabel = new QLabel(content);
    m_progressLabel->setVisible(false);
    checkRow->addWidget(m_progressLabel);
    m_progress = new QProgressBar(content);
    m_progress->setObjectName(QStringLiteral("downloadProgress"));
    m_progress->setVisible(false);
    m_progress->setMaximumWidth(160);
    checkRow->addWidget(m_progress);
    checkRow->addStretch();
    column->addLayout(checkRow);

    auto* paragraph = new QLabel(qText(m_configuration.descriptiveParagraph), content);
    paragraph->setWordWrap(true);
    column->addWidget(paragraph);
    auto* credit = new QLabel(qText(m_configuration.creditLine), content);
    credit->setWordWrap(true);
    credit->setFont(scaledFont(credit->font(), 1.2, true));
    column->addWidget(credit);

    column->addWidget(new QLabel(QStringLiteral("联系 WeChat："), content));
    QString link = qText(m_configuration.contactLink);
    auto* linkLabel = new QLabel(QStringLiteral("<a href=\"%1\">%2</a>").arg(link.toHtmlEscaped(), link.toHtmlEscaped()), content);
    linkLabel->setObjectName(QStringLiteral("contactLink"));
    linkLabel->setTextFormat(Qt::RichText);
    linkLabel->setOpenExternalLinks(true);
    linkLabel->setTextInteractionFlags(Qt::TextBrowserInteraction);
    column->addWidget(linkLabel);
    m_qrCode = new QRCodeView(link, static_cast<int>(qrCodeDisplaySize), content);
    m_qrCode->setObjectName(QStringLiteral("qrCode"));
    column->addWidget(m_qrCode);
    column->addStretch();
}

void AboutTallowinView::checkForUpdate()
{
    if (m_isCheckingUpdate)
        return;
    m_isCheckingUpdate = true;

    std::optional<QUrl> url = productUrl(m_configuration.serviceBaseUrl, m_configuration.productIdentifier);
    if (!url) {
        m_isCheckingUpdate = false;
        setInfoMessage(AlertMessage(UpdateTexts::invalidUpdateUrl()));
        emit updateCheckFinished();
        return;
    }
    QNetworkReply* reply = m_network->get(makeServiceRequest(*url, m_configuration.requestTimeoutMilliseconds));
    connect(reply, &QNetworkReply::finished, this, [this, reply] { finishCheck(reply); });
}

void AboutTallowinView::finishCheck(QNetworkReply* reply)
{
    reply->deleteLater();
    m_isCheckingUpdate = false;
    if (std::optional<int> status = httpStatus(*reply)) {
        QByteArray body = reply->readAll();
        UpdateCheckOutcome outcome = evaluateProductAnswer(*status,
            std::string_view(body.constData(), static_cast<std::size_t>(body.size())), m_configuration.shortVersion);
        if (auto* prompt = std::get_if<UpdatePrompt>(&outcome))
            setUpdatePrompt(std::move(*prompt));
        else
            setInfoMessage(std::get<AlertMessage>(std::move(outcome)));
    } else if (reply->error() != QNetworkReply::NoError) {
        setInfoMessage(AlertMessage(Messages::updateCheckFailure(transportErrorDescription(*reply).toStdString())));
    } else {
        // An answer that is not HTTP at all.
        setInfoMessage(AlertMessage(UpdateTexts::networkError()));
    }
    emit updateCheckFinished();
}

void AboutTallowinView::startDownload(const QUrl& url)
{
    if (m_download)
        return;
    m_download = std::make_unique<Download>();
    QNetworkReply* reply = m_network->get(makeServiceRequest(url, m_configuration.requestTimeoutMilliseconds));
    m_download->reply = reply;

    m_progressLabel->setText(qText(localized("Downloading…", "正在下载…")));
    m_progressLabel->setVisible(true);
    m_progress->setRange(0, 0);
    m_progress->setVisible(true);
    connect(reply, &QNetworkReply::readyRead, this, &AboutTallowinView::writeDownloadedBytes);
    connect(reply, &QNetworkReply::downloadProgress, this, [this](qint64 received, qint64 total) {
        // Without a length the bar stays busy; permille keeps large files inside int.
        if (total > 0) {
            m_progress->setRange(0, 1000);
            m_progress->setValue(static_cast<int>(received * 1000 / total));
        }
    });
    connect(reply, &QNetworkReply::finished, this, &AboutTallowinView::finishDownload);
}

void AboutTallowinView::writeDownloadedBytes()
{
    Download& download = *m_download;
    QNetworkReply& reply = *download.reply;
    std::optional<int> status = httpStatus(reply);
    // An error page is not the installer: its body is never saved.
    if (!download.failure.isEmpty() || !status || *status < 200 || *status > 299) {
        reply.readAll();
        return;
    }
    if (!download.file) {
        QString name = suggestedFileName(reply.rawHeader("Content-Disposition"), reply.url());
        download.file = std::make_unique<QSaveFile>(QDir(m_desktop->downloadFolder()).filePath(name));
        if (!download.file->open(QIODevice::WriteOnly)) {
            download.failure = download.file->errorString();
            reply.abort();
            return;
        }
    }
    QByteArray bytes = reply.readAll();
    if (download.file->write(bytes) != bytes.size()) {
        download.failure = download.file->errorString();
        reply.abort();
    }
}

void AboutTallowinView::finishDownload()
{
    QNetworkReply* reply = m_download->reply;
    reply->deleteLater();
    if (!m_download->failure.isEmpty())
        return failDownload(m_download->failure);

    std::optional<int> status = httpStatus(*reply);
    if (!status)
        return failDownload(transportErrorDescription(*reply));
    if (*status < 200 || *status > 299) {
        return failDownload(qText(localized(fmt::format("The server answered with status {}.", *status),
            fmt::format("服务器返回状态码 {}。", *status))));
    }
    if (reply->error() != QNetworkReply::NoError)
        return failDownload(transportErrorDescription(*reply));

    writeDownloadedBytes();
    if (!m_download->failure.isEmpty())
        return failDownload(m_download->failure);
    // An empty body still is a (tiny) file; the rename below needs it to exist.
    if (!m_download->file) {
        QString name = suggestedFileName(reply->rawHeader("Content-Disposition"), reply->url());
        m_download->file = std::make_unique<QSaveFile>(QDir(m_desktop->downloadFolder()).filePath(name));
        if (!m_download->file->open(QIODevice::WriteOnly))
            return failDownload(m_download->file->errorString());
    }
    if (!m_download->file->commit())
        return failDownload(m_download->file->errorString());

    QString path = m_download->file->fileName();
    m_download.reset();
    m_progress->setVisible(false);
    m_progressLabel->setVisible(false);
    m_downloadedFile = path;
    if (!m_desktop->openFile(path)) {
        setInfoMessage(AlertMessage(Messages::downloadFailure(
            localized("No application could open the downloaded file.", "没有可打开所下载文件的应用程序。"))));
    }
    emit downloadFinished();
}

void AboutTallowinView::failDownload(const QString& description)
{
    // Dropping the unfinished file removes its temporary; the destination stays as it was.
    m_download.reset();
    m_progress->setVisible(false);
    m_progressLabel->setVisible(false);
    setInfoMessage(AlertMessage(Messages::downloadFailure(description.toStdString())));
    emit downloadFinished();
}

void AboutTallowinView::setInfoMessage(AlertMessage message)
{
    m_infoMessage = std::move(message);
    Uuid shown = m_infoMessage->id;
    QMessageBox* box = openAlert(QMessageBox::Information, UpdateTexts::noticeTitle(), m_infoMessage->text);
    box->addButton(qText(UpdateTexts::okButton()), QMessageBox::AcceptRole);
    connect(box, &QMessageBox::finished, this, [this, shown] {
        if (m_infoMessage && m_infoMessage->id == shown)
            m_infoMessage.reset();
    });
    box->open();
}

void AboutTallowinView::setUpdatePrompt(UpdatePrompt prompt)
{
    m_updatePrompt = std::move(prompt);
    UpdatePrompt shown = *m_updatePrompt;
    QMessageBox* box = openAlert(QMessageBox::Question, UpdateTexts::downloadQuestion(), Messages::newVersion(shown.version));
    QPushButton* download = box->addButton(qText(UpdateTexts::downloadButton()), QMessageBox::AcceptRole);
    box->addButton(qText(UpdateTexts::cancelButton()), QMessageBox::RejectRole);
    box->setDefaultButton(download);
    connect(box, &QMessageBox::finished, this, [this, shown, box, download] {
        if (m_updatePrompt && m_updatePrompt->id == shown.id)
            m_updatePrompt.reset();
        if (box->clickedButton() == download)
            startDownload(shown.url);
    });
    box->open();
}

QMessageBox* AboutTallowinView::openAlert(QMessageBox::Icon icon, const std::string& title, const std::string& text)
{
    QMessageBox* box = openAlertBox(this, icon, qText(title), qText(text));
    m_alert = box;
    return box;
}

}
