// tallowin: the desktop application.

#include "app/QtMainQueue.h"
#include "app/TallowinApp.h"
#include "app/windows/AboutTallowinView.h"
#include "app/windows/FeedbackFormView.h"
#include "dashboard/DashboardStyle.h"

#include <QApplication>
#include <QIcon>

#include <chrono>
#include <memory>

int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tallowin"));
    QApplication::setApplicationVersion(QStringLiteral(TALLOWIN_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("com.tallowin.Tallowin"));
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("com.tallowin.Tallowin")));
    // One look for every window, the menus and the dialogs: the dashboard's dark palette.
    tallowin::DashboardStyle::applyDarkAppearance(application);

    auto mainQueue = std::make_shared<tallowin::QtMainQueue>();
    {
        // The secondary windows' content, one builder each.
        auto about = tallowin::TallowinApp::aboutScene(
            [](QWidget* window) { return new tallowin::AboutTallowinView(window); });
        auto feedback = tallowin::TallowinApp::feedbackScene(
            [](QWidget* window) { return new tallowin::FeedbackFormView(window); });

        auto app = tallowin::TallowinApp::createForThisMachine(mainQueue, std::move(about), std::move(feedback));
        app->showMainWindow();
        int status = QApplication::exec();
        // No benchmark file may stay behind: a running test is stopped and its clean-up awaited.
        app->settleBeforeExit(std::chrono::seconds(30));
        app.reset();
        mainQueue->close();
        return status;
    }
}
