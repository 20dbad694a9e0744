#pragma once

#include <QString>

#include <memory>

namespace tallowin {

// The desktop facilities the About window uses after a download: where downloads go and how a
// file is opened with its default application. Tests replace them so that nothing is launched.
class DesktopServices {
public:
    virtual ~DesktopServices() = default;

    // The user's Downloads folder when the system reports an existing one, else the temporary
    // folder.
    virtual QString downloadFolder() const = 0;
    // Hands the file to the default application; false when nothing could take it.
    virtual bool openFile(const QString& path) = 0;

    static std::shared_ptr<DesktopServices> system();
};

}
