#include "app/windows/AboutTallowinView.h"
#include "app/windows/FeedbackFormView.h"
#include "WindowsTestSupport.h"
#include "support/LanguageGuard.h"

#include <QDir>
#include <QLineEdit>
#include <QPlainTextEdit>

#include <gtest/gtest.h>

#include <cstdlib>

namespace tallowin {
namespace {

// Pictures of both windows in both languages for a person to look at; written only when
// TALLOWIN_SCREENSHOT_DIR names a folder.
TEST(WindowScreenshots, RenderBothWindowsInBothLanguages)
{
    const char* folder = std::getenv("TALLOWIN_SCREENSHOT_DIR");
    if (!folder)
        GTEST_SKIP() << "set TALLOWIN_SCREENSHOT_DIR to write the pictures";
    QDir().mkpath(QString::fromUtf8(folder));
    for (const char* language : { "en_US", "zh_CN" }) {
        testing::LanguageGuard guard(language);
        WindowsConfiguration configuration = WindowsConfiguration::buildTime();
        configuration.shortVersion = "0.1.0";

        AboutTallowinView about(configuration, std::make_shared<testing::RecordingDesktopServices>(QDir::tempPath()));
        about.resize(420, 380);
        about.show();
        EXPECT_TRUE(about.grab().save(QStringLiteral("%1/about-%2.png").arg(QString::fromUtf8(folder), QLatin1String(language))));

        FeedbackFormView feedback(configuration);
        feedback.resize(520, 560);
        feedback.show();
        feedback.findChild<QLineEdit*>(QStringLiteral("titleField"))->setText(QStringLiteral("Chart"));
        feedback.findChild<QPlainTextEdit*>(QStringLiteral("contentField"))->setPlainText(QStringLiteral("Too short"));
        feedback.findChild<QLineEdit*>(QStringLiteral("emailField"))->setText(QStringLiteral("me@host"));
        EXPECT_TRUE(feedback.grab().save(QStringLiteral("%1/feedback-%2.png").arg(QString::fromUtf8(folder), QLatin1String(language))));
    }
}

}
}
