#pragma once

// moc reads this header but cannot parse <compare>, which the value types include; it does
// not need them to generate the signals and slots.
#ifndef Q_MOC_RUN
#include "app/windows/DesktopServices.h"
#include "app/windows/UpdateCheck.h"
#include "app/windows/WindowsConfiguration.h"
#include "core/AlertMessage.h"
#endif

#include <QMessageBox>
#include <QPointer>
#include <QString>
#include <QUrl>
#include <QWidget>

#include <memory>
#include <optional>

class QLabel;
class QNetworkAccessManager;
class QNetworkReply;
class QProgressBar;
class QPushButton;

namespace tallowin {

class QRCodeView;

// The About window's content: icon, name and version, the manual update check with the download
// of a newer version, the maker's paragraph and credit line, and the contact link with its QR
// code. Lives on the main thread; network work runs in QtNetwork's own threads and reports back
// through the event loop, so nothing here blocks.
class AboutTallowinView : public QWidget {
    Q_OBJECT

public:
    static constexpr double appIconSize = 64.0;
    static constexpr double qrCodeDisplaySize = 64.0;

    explicit AboutTallowinView(QWidget* parent = nullptr);
    AboutTallowinView(WindowsConfiguration, std::shared_ptr<DesktopServices>, QWidget* parent = nullptr);
    ~AboutTallowinView() override;

    bool isCheckingUpdate() const { return m_isCheckingUpdate; }
    bool isDownloading() const;
    const std::optional<UpdatePrompt>& updatePrompt() const { return m_updatePrompt; }
    const std::optional<AlertMessage>& infoMessage() const { return m_infoMessage; }
    // The alert on screen (the notice or the download question), if any.
    QMessageBox* currentAlert() const { return m_alert; }
    // Where the last completed download was saved.
    const QString& downloadedFile() const { return m_downloadedFile; }

    QString versionLineText() const;
    QSize sizeHint() const override;

public slots:
    // What "Check Update" does; ignored while a check is running.
    void checkForUpdate();
    // What "Download" in the question does; ignored while a download is running.
    void startDownload(const QUrl&);

signals:
    void updateCheckFinished();
    void downloadFinished();

private:
    struct Download;

    void buildContent();
    void finishCheck(QNetworkReply*);
    void writeDownloadedBytes();
    void finishDownload();
    void failDownload(const QString& description);
    void setInfoMessage(AlertMessage);
    void setUpdatePrompt(UpdatePrompt);
    QMessageBox* openAlert(QMessageBox::Icon, const std::string& title, const std::string& text);

    WindowsConfiguration m_configuration;
    std::shared_ptr<DesktopServices> m_desktop;
    QNetworkAccessManager* m_network;

    bool m_isCheckingUpdate = false;
    std::optional<UpdatePrompt> m_updatePrompt;
    std::optional<AlertMessage> m_infoMessage;
    std::unique_ptr<Download> m_download;
    QString m_downloadedFile;

    QPointer<QMessageBox> m_alert;
    QPushButton* m_checkButton = nullptr;
    QProgressBar* m_progress = nullptr;
    QLabel* m_progressLabel = nullptr;
    QRCodeView* m_qrCode = nullptr;
};

}
