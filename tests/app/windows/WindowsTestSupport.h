#pragma once

#include "app/windows/DesktopServices.h"
#include "app/windows/WindowsConfiguration.h"

#include <QString>
#include <QStringList>

#include <string>

namespace tallowin::testing {

// Downloads go to a folder of the test; opening a file only records it.
class RecordingDesktopServices final : public DesktopServices {
public:
    explicit RecordingDesktopServices(QString folder, bool canOpen = true)
        : m_folder(std::move(folder))
        , m_canOpen(canOpen)
    { }
    QString downloadFolder() const override { return m_folder; }
    bool openFile(const QString& path) override
    {
        opened.append(path);
        return m_canOpen;
    }

    QStringList opened;

private:
    QString m_folder;
    bool m_canOpen;
};

inline WindowsConfiguration testConfiguration(const std::string& baseUrl, const std::string& version = "1.4.2")
{
    WindowsConfiguration configuration;
    configuration.serviceBaseUrl = baseUrl;
    configuration.productIdentifier = "k3v9q2m7x1c8b5n4z6l0p2r7t";
    configuration.contactLink = "https://u.wechat.com/tallowin-test";
    configuration.descriptiveParagraph = "A test build.";
    configuration.creditLine = "Made in a test.";
    configuration.shortVersion = version;
    configuration.buildNumber = "42";
    configuration.requestTimeoutMilliseconds = 10'000;
    return configuration;
}

}
