#include "app/windows/AboutTallowinView.h"
#include "app/windows/QRCodeView.h"
#include "LocalHttpServer.h"
#include "WindowsTestSupport.h"
#include "support/EnvironmentGuard.h"
#include "support/LanguageGuard.h"
#include "support/TemporaryDirectory.h"

#include <QAbstractButton>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>
#include <zbar.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <tuple>

namespace tallowin {
namespace {

using testing::LocalHttpServer;

constexpr int waitMilliseconds = 20'000;
const std::string downloadUrl = R"("https://downloads.example.com/Tallowin-1.5.deb")";
const QString installerName = QStringLiteral("Tallowin-2.0.deb");

std::string productJson(const std::string& version, const std::string& url = downloadUrl)
{
    return R"({"id":"k3v9q2m7x1c8b5n4z6l0p2r7t","type":"app","status":"released","downloadType":"deb",)"
           R"("currentVersion":)"
        + version + R"(,"downloadUrl":)" + url + "}";
}

LocalHttpServer::Response answer(int status, std::string body, std::string type = "application/json")
{
    return { status, { { "Content-Type", std::move(type) } }, std::move(body) };
}

class AboutView : public ::testing::Test {
protected:
    std::unique_ptr<AboutTallowinView> makeView(const std::string& baseUrl, const std::string& version = "1.4.2")
    {
        auto view = std::make_unique<AboutTallowinView>(testing::testConfiguration(baseUrl, version), desktop);
        view->show();
        return view;
    }

    // Runs one check through the button and the event loop; the text of the notice, if one came.
    std::string checkOnce(AboutTallowinView& view)
    {
        QSignalSpy finished(&view, &AboutTallowinView::updateCheckFinished);
        view.findChild<QPushButton*>(QStringLiteral("checkUpdateButton"))->click();
        if (finished.isEmpty()) {
            EXPECT_TRUE(finished.wait(waitMilliseconds));
        }
        EXPECT_FALSE(view.isCheckingUpdate());
        return view.infoMessage() ? view.infoMessage()->text : std::string();
    }

    static void press(QMessageBox* box, const QString& text)
    {
        ASSERT_NE(box, nullptr);
        for (QAbstractButton* button : box->buttons()) {
            if (button->text() == text)
                return button->click();
        }
        FAIL() << "no button " << text.toStdString();
    }

    QStringList downloadedNames() const { return QDir(folder()).entryList(QDir::Files | QDir::Hidden, QDir::Name); }
    QString folder() const { return QString::fromStdString(downloads.path().string()); }

    testing::LanguageGuard english { "en_US" };
    testing::TemporaryDirectory downloads { "tallowin-downloads" };
    std::shared_ptr<testing::RecordingDesktopServices> desktop
        = std::make_shared<testing::RecordingDesktopServices>(folder());
};

constexpr const char* invalidPayload = "Update check failed: invalid payload";
constexpr const char* networkError = "Update check failed: network error";

// One answer of each kind through the real network stack: one notice, or the question (an empty
// notice). Version comparison, decoding and URL rules in depth are the unit tests' business.
TEST_F(AboutView, AnswersWithOneNoticeOrTheQuestion)
{
    const std::tuple<int, std::string, const char*> cases[] {
        { 200, productJson(R"("1.10")"), "" },
        { 200, productJson(R"("1.4.2")"), "Already up to date" },
        { 200, productJson(R"("1.4.1")"), "Already up to date" },
        { 200, R"({"id":"x","currentVersion":"2.0")",
            "Update check failed: The data couldn’t be read because it isn’t in the correct format." },
        { 200, productJson(R"("   ")"), invalidPayload },
        { 200, R"({"id":"x","downloadUrl":"https://x.test/a"})", invalidPayload },
        { 200, productJson(R"("9.0")", R"("not a url")"), invalidPayload },
        { 200, productJson(R"("9.0")", R"("https://")"), invalidPayload },
        { 304, "", networkError },
        { 500, productJson(R"("9.0")"), networkError },
    };
    for (const auto& [status, body, notice] : cases) {
        SCOPED_TRACE(std::to_string(status) + " " + body);
        LocalHttpServer server([&](const LocalHttpServer::Request&) { return answer(status, body); });
        auto view = makeView(server.baseUrl());

        EXPECT_EQ(checkOnce(*view), notice);
        EXPECT_EQ(view->updatePrompt().has_value(), std::string(notice).empty());
        ASSERT_EQ(server.requests().size(), 1u);
        EXPECT_EQ(server.requests()[0].method, "GET");
        EXPECT_EQ(server.requests()[0].target, "/api/products/k3v9q2m7x1c8b5n4z6l0p2r7t");
    }
}

TEST_F(AboutView, NoticeFollowsTheLanguageAndGoesWhenDismissed)
{
    testing::LanguageGuard chinese("zh_CN");
    LocalHttpServer server([](const LocalHttpServer::Request&) { return answer(500, ""); });
    auto view = makeView(server.baseUrl());
    EXPECT_EQ(checkOnce(*view), "检查更新失败：网络错误");
    press(view->currentAlert(), QStringLiteral("好"));
    EXPECT_FALSE(view->infoMessage());
}

TEST_F(AboutView, TransportFailuresAreNotices)
{
    EXPECT_EQ(checkOnce(*makeView(LocalHttpServer::closedBaseUrl())),
        "Update check failed: Could not connect to the server.");
    EXPECT_EQ(checkOnce(*makeView("not a base url")), "Invalid update URL");
}

// A service that never answers: the call returns at once, a second press meanwhile starts
// nothing, and the time-out ends the check with a notice.
TEST_F(AboutView, HangingServiceTimesOutAndASecondPressIsIgnored)
{
    LocalHttpServer server([](const LocalHttpServer::Request&) { return LocalHttpServer::Response { .hang = true }; });
    WindowsConfiguration configuration = testing::testConfiguration(server.baseUrl());
    configuration.requestTimeoutMilliseconds = 300;
    AboutTallowinView view(configuration, desktop);
    QSignalSpy finished(&view, &AboutTallowinView::updateCheckFinished);
    view.checkForUpdate();
    EXPECT_TRUE(view.isCheckingUpdate());
    view.checkForUpdate();
    ASSERT_TRUE(finished.wait(waitMilliseconds));
    QTest::qWait(200);
    EXPECT_EQ(finished.size(), 1);
    EXPECT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(view.infoMessage()->text, "Update check failed: The request timed out.");
}

// The download: the check finds 2.0 and the user answers "Download".
class AboutDownload : public AboutView {
protected:
    void SetUp() override
    {
        server = std::make_unique<LocalHttpServer>([this](const LocalHttpServer::Request& request) {
            if (request.target.starts_with("/api/products/"))
                return answer(200, productJson(R"("2.0")", "\"" + base + "/files/Tallowin-2.0.deb\""));
            return fileResponse;
        });
        base = server->baseUrl();
        QFile old(QDir(folder()).filePath(installerName));
        ASSERT_TRUE(old.open(QIODevice::WriteOnly));
        old.write("the good old one");
    }

    // Checks, answers the question and waits for the download to end.
    void checkAndDownload(AboutTallowinView& view)
    {
        checkOnce(view);
        ASSERT_TRUE(view.updatePrompt());
        ASSERT_NE(view.currentAlert(), nullptr);
        EXPECT_EQ(view.currentAlert()->text(), QStringLiteral("Download the update?"));
        EXPECT_EQ(view.currentAlert()->informativeText(), QStringLiteral("New version found 2.0"));
        QSignalSpy finished(&view, &AboutTallowinView::downloadFinished);
        press(view.currentAlert(), QStringLiteral("Download"));
        EXPECT_TRUE(view.isDownloading());
        EXPECT_TRUE(view.findChild<QProgressBar*>(QStringLiteral("downloadProgress"))->isVisible());
        ASSERT_TRUE(finished.wait(waitMilliseconds));
        EXPECT_FALSE(view.isDownloading());
        EXPECT_FALSE(view.findChild<QProgressBar*>(QStringLiteral("downloadProgress"))->isVisible());
    }

    QByteArray fileContent(const QString& name) const
    {
        QFile file(QDir(folder()).filePath(name));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
    }
    // Only the earlier download is there, untouched, and nothing was opened.
    void expectOldFileAlone() const
    {
        EXPECT_EQ(downloadedNames(), QStringList { installerName });
        EXPECT_EQ(fileContent(installerName), QByteArray("the good old one"));
        EXPECT_TRUE(desktop->opened.isEmpty());
    }

    std::string base;
    // Set before the first request; the server thread only reads it.
    LocalHttpServer::Response fileResponse;
    std::unique_ptr<LocalHttpServer> server;
};

TEST_F(AboutDownload, ReplacesAnExistingFileAndOpensIt)
{
    std::string installer(300'000, '\0');
    for (std::size_t index = 0; index < installer.size(); ++index)
        installer[index] = static_cast<char>(index * 7 + 3);
    const QString name = QStringLiteral("tallowin_2.0_amd64.deb");
    fileResponse = answer(200, installer, "application/vnd.debian.binary-package");
    fileResponse.headers.emplace_back("Content-Disposition", R"(attachment; filename="tallowin_2.0_amd64.deb")");
    ASSERT_TRUE(QFile::rename(QDir(folder()).filePath(installerName), QDir(folder()).filePath(name)));
    auto view = makeView(base);

    checkAndDownload(*view);

    EXPECT_FALSE(view->infoMessage()) << view->infoMessage()->text;
    EXPECT_EQ(fileContent(name), QByteArray::fromStdString(installer));
    // Nothing but the file: no temporary left beside it.
    EXPECT_EQ(downloadedNames(), QStringList { name });
    EXPECT_EQ(desktop->opened, QStringList { QDir(folder()).filePath(name) });
    EXPECT_EQ(view->downloadedFile(), desktop->opened.value(0));
}

TEST_F(AboutDownload, CancelFetchesNothing)
{
    auto view = makeView(base);
    checkOnce(*view);
    press(view->currentAlert(), QStringLiteral("Cancel"));
    EXPECT_FALSE(view->updatePrompt());
    EXPECT_FALSE(view->isDownloading());
    EXPECT_EQ(server->requests().size(), 1u);
    expectOldFileAlone();
}

TEST_F(AboutDownload, FailedTransferKeepsTheOldFile)
{
    // The status, the body, the length announced for it, how the notice begins.
    const std::tuple<int, const char*, std::optional<std::size_t>, std::string> cases[] {
        { 404, "<html>not here</html>", {}, "Download failed: The server answered with status 404." },
        // The server promises more than it sends and closes the connection.
        { 200, "half", 1000, "Download failed: " },
    };
    for (const auto& [status, body, announcedLength, notice] : cases) {
        fileResponse = answer(status, body, "application/octet-stream");
        fileResponse.contentLength = announcedLength;
        auto view = makeView(base);
        checkAndDownload(*view);

        ASSERT_TRUE(view->infoMessage());
        EXPECT_TRUE(view->infoMessage()->text.starts_with(notice)) << view->infoMessage()->text;
        expectOldFileAlone();
    }
}

TEST_F(AboutDownload, ClosingTheWindowMidwayLeavesNoPartialFile)
{
    fileResponse = answer(200, std::string(300'000, 'p'), "application/octet-stream");
    fileResponse.contentLength = 1'000'000;
    fileResponse.stall = true;
    auto view = makeView(base);
    checkOnce(*view);
    press(view->currentAlert(), QStringLiteral("Download"));
    // Part of the file is under way; it stalls, so the download is still running.
    ASSERT_TRUE(QTest::qWaitFor([&] { return server->requests().size() == 2; }, waitMilliseconds));
    QTest::qWait(300);
    EXPECT_TRUE(view->isDownloading());

    view.reset();
    expectOldFileAlone();
}

TEST_F(AboutDownload, NoApplicationToOpenItIsANotice)
{
    desktop = std::make_shared<testing::RecordingDesktopServices>(folder(), false);
    fileResponse = answer(200, "bytes", "application/octet-stream");
    auto view = makeView(base);
    checkAndDownload(*view);
    ASSERT_TRUE(view->infoMessage());
    EXPECT_EQ(view->infoMessage()->text, "Download failed: No application could open the downloaded file.");
    EXPECT_EQ(fileContent(installerName), QByteArray("bytes"));
}

TEST(DownloadFolder, IsTheUsersExistingDownloadsFolderElseTemporary)
{
    testing::TemporaryDirectory home("tallowin-home");
    std::filesystem::create_directories(home.path() / ".config");
    std::filesystem::create_directories(home.path() / "Fetched");
    std::ofstream(home.path() / ".config" / "user-dirs.dirs") << "XDG_DOWNLOAD_DIR=\"$HOME/Fetched\"\n";
    testing::EnvironmentGuard homeGuard("HOME", home.path().c_str());
    testing::EnvironmentGuard configGuard("XDG_CONFIG_HOME", (home.path() / ".config").c_str());
    auto services = DesktopServices::system();
    EXPECT_EQ(services->downloadFolder(), QString::fromStdString((home.path() / "Fetched").string()));
    // A folder the user's settings name but that is not there is no place to save to.
    std::filesystem::remove(home.path() / "Fetched");
    EXPECT_EQ(services->downloadFolder(), QDir::tempPath());
}

TEST_F(AboutView, VersionLineShowsDashesForWhatIsUnknown)
{
    WindowsConfiguration configuration = testing::testConfiguration("http://127.0.0.1:1", "");
    configuration.buildNumber.clear();
    AboutTallowinView view(configuration, desktop);
    EXPECT_EQ(view.findChild<QLabel*>(QStringLiteral("versionLine"))->text(),
        QStringLiteral("Version: — · Build: —"));
}

// Reads every QR code in a picture with zbar, as a phone's scanner would.
std::vector<std::string> decodeQRCodes(const QImage& picture)
{
    QImage gray = picture.convertToFormat(QImage::Format_Grayscale8);
    std::vector<unsigned char> pixels;
    for (int y = 0; y < gray.height(); ++y)
        pixels.insert(pixels.end(), gray.constScanLine(y), gray.constScanLine(y) + gray.width());

    zbar::ImageScanner scanner;
    scanner.set_config(zbar::ZBAR_NONE, zbar::ZBAR_CFG_ENABLE, 0);
    scanner.set_config(zbar::ZBAR_QRCODE, zbar::ZBAR_CFG_ENABLE, 1);
    zbar::Image image(static_cast<unsigned>(gray.width()), static_cast<unsigned>(gray.height()), "Y800",
        pixels.data(), pixels.size());
    scanner.scan(image);
    std::vector<std::string> texts;
    for (auto symbol = image.symbol_begin(); symbol != image.symbol_end(); ++symbol)
        texts.push_back(symbol->get_data());
    return texts;
}

const std::vector<std::string> contactLink { "https://u.wechat.com/tallowin-test" };

TEST_F(AboutView, ShownQRCodeDecodesToTheContactLink)
{
    AboutTallowinView view(testing::testConfiguration("http://127.0.0.1:1"), desktop);
    auto* code = view.findChild<QRCodeView*>(QStringLiteral("qrCode"));
    ASSERT_NE(code, nullptr);
    EXPECT_EQ(code->sizeHint(), QSize(64, 64));
    // As drawn on a 1× and on a 3× screen.
    for (qreal ratio : { 1.0, 3.0 })
        EXPECT_EQ(decodeQRCodes(code->image(ratio)), contactLink) << "device pixel ratio " << ratio;
}

// The link needs 33 modules at level H. At 64 pixels the quiet zone gives way to two-pixel
// modules; from 82 pixels on there is room for both.
TEST(QRCode, ModulesAreWholeEqualPixelSquares)
{
    auto matrix = encodeQRCode(contactLink[0]);
    ASSERT_TRUE(matrix);
    // The picture's size, the least pixels a module takes, the least modules of white around.
    for (const auto& [pixels, minimumModulePixels, minimumQuietModules] :
        { std::tuple { 64, 1, 1 }, std::tuple { 70, 2, 1 }, std::tuple { 82, 2, 4 }, std::tuple { 333, 8, 4 } }) {
        SCOPED_TRACE(pixels);
        QImage picture = renderQRCode(*matrix, pixels);
        ASSERT_EQ(picture.width(), pixels);

        // The top-left and top-right finder patterns start and end with dark modules on the first
        // row of the code: they give where the code sits and how wide a module is.
        int origin = 0;
        while (origin < picture.width() && picture.pixel(origin, origin) != qRgb(0, 0, 0))
            ++origin;
        int right = picture.width() - 1;
        while (right > origin && picture.pixel(right, origin) != qRgb(0, 0, 0))
            --right;
        int span = right + 1 - origin;
        ASSERT_EQ(span % matrix->width, 0) << "modules of unequal width";
        int modulePixels = span / matrix->width;
        EXPECT_GE(modulePixels, minimumModulePixels);
        EXPECT_GE(origin, minimumQuietModules * modulePixels);

        int wrong = 0;
        for (int y = 0; y < picture.height(); ++y) {
            for (int x = 0; x < picture.width(); ++x) {
                int mx = x >= origin ? (x - origin) / modulePixels : -1;
                int my = y >= origin ? (y - origin) / modulePixels : -1;
                bool dark = mx >= 0 && my >= 0 && mx < matrix->width && my < matrix->width && matrix->isDark(mx, my);
                // Only pure black and pure white: no smoothing at module edges.
                wrong += picture.pixel(x, y) != (dark ? qRgb(0, 0, 0) : qRgb(255, 255, 255));
            }
        }
        EXPECT_EQ(wrong, 0);
        EXPECT_EQ(decodeQRCodes(picture), contactLink);
    }
}

TEST(QRCode, EncodesAtTheHighestCorrectionLevel)
{
    // 40 bytes fit version 4 (33 modules) at level Q but need version 5 (37 modules) at level H:
    // the size tells the level.
    auto matrix = encodeQRCode("https://u.wechat.com/tallowin-test/abcde");
    ASSERT_TRUE(matrix);
    EXPECT_EQ(matrix->width, 37);
}

TEST(QRCode, TooLongContentShowsTheFootnote)
{
    QRCodeView view(QString(3000, QLatin1Char('x')), 64);
    view.show();
    EXPECT_FALSE(view.hasCode());
    EXPECT_TRUE(view.image().isNull());
    auto* footnote = view.findChild<QLabel*>();
    ASSERT_NE(footnote, nullptr);
    EXPECT_TRUE(footnote->isVisible());

    view.setContent(QStringLiteral("https://example.com"));
    EXPECT_TRUE(view.hasCode());
    EXPECT_FALSE(footnote->isVisible());
}

}
}
