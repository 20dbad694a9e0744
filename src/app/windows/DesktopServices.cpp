#include "app/windows/DesktopServices.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QUrl>

namespace tallowin {

namespace {

class SystemDesktopServices final : public DesktopServices {
public:
    QString downloadFolder() const override
    {
        // XDG's user-dirs (XDG_DOWNLOAD_DIR), else ~/Downloads; a folder that is not there
        // is no place to save to.
        QString folder = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
        if (!folder.isEmpty() && QFileInfo(folder).isDir())
            return folder;
        return QDir::tempPath();
    }

    bool openFile(const QString& path) override { return QDesktopServices::openUrl(QUrl::fromLocalFile(path)); }
};

}

std::shared_ptr<DesktopServices> DesktopServices::system()
{
    return std::make_shared<SystemDesktopServices>();
}

}
