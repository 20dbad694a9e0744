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
#include <memory>

namespace tallowin {
namespace {

using testing::LocalHttpServer;

constexpr int waitMilliseconds = 20'000;

std::string productJson(const std::string& version, const std::string& url)
{
    return R"({"id":"k3v9q2m7x1c8b5n4z6l0p2r7t","type":"app","status":"released","downloadType":"deb",)"
           R"("currentVersion":)"
        + version + R"(,"downloadUrl":)" + url + "}";
}

LocalHttpServer::Response answer(int status, std::string body,
    std::vector<std::pair<std::string, std::string>> headers = { { "Content-Type", "application/json" } })
{
    LocalHttpServer::Response response;
    response.status = status;
    response.headers = std::move(headers);
    response.body = std::move(body);
    return response;
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

    QStringList downloadedNames() const
    {
        return QDir(folder()).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
    }
    QString folder() const { return QString::fromStdString(downloads.path().string()); }

    testing::LanguageGuard english { "en_US" };
    testing::TemporaryDirectory downloads { "tallowin-downloads" };
    std::shared_ptr<testing::RecordingDesktopServices> desktop
        = std::make_shared<testing::RecordingDesktopServices>(folder());
};

struct CheckCase {
    const char* name;
    int status;
    std::string body;
    const char* notice; // empty: the download question
};

class AboutUpdateCheck : public AboutView, public ::testing::WithParamInterface<CheckCase> { };

TEST_P(AboutUpdateCheck, AnswersWithOneNoticeOrTheQuestion)
{
    const CheckCase& example = GetParam();
    LocalHttpServer server([&](const LocalHttpServer::Request&) { return answer(example.status, example.body); });
    auto view = makeView(server.baseUrl());

    EXPECT_EQ(checkOnce(*view), example.notice);
    EXPECT_EQ(view->updatePrompt().has_value(), std::string(example.notice).empty());
    ASSERT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(server.requests()[0].method, "GET");
    EXPECT_EQ(server.requests()[0].target, "/api/products/k3v9q2m7x1c8b5n4z6l0p2r7t");
}

const std::string downloadUrl = R"("https://downloads.example.com/Tallowin-1.5.deb")";

INSTANTIATE_TEST_SUITE_P(Cases, AboutUpdateCheck,
    ::testing::Values(CheckCase { "newer", 200, productJson(R"("1.10")", downloadUrl), "" },
        CheckCase { "newer_with_surrounding_spaces", 200, productJson(R"(" 1.5\n")", downloadUrl), "" },
        CheckCase { "equal", 200, productJson(R"("1.4.2")", downloadUrl), "Already up to date" },
        CheckCase { "equal_with_trailing_zero", 200, productJson(R"("1.4.2.0")", downloadUrl), "Already up to date" },
        CheckCase { "older", 200, productJson(R"("1.4.1")", downloadUrl), "Already up to date" },
        CheckCase { "malformed_json", 200, R"({"id":"x","currentVersion":"2.0")",
            "Update check failed: The data couldn’t be read because it isn’t in the correct format." },
        CheckCase { "missing_id", 200, R"({"currentVersion":"2.0","downloadUrl":"https://x.test/a"})",
            "Update check failed: The data couldn’t be read because it is missing." },
        CheckCase { "blank_version", 200, productJson(R"("   ")", downloadUrl), "Update check failed: invalid payload" },
        CheckCase { "absent_version", 200, R"({"id":"x","downloadUrl":"https://x.test/a"})",
            "Update check failed: invalid payload" },
        CheckCase { "invalid_download_url", 200, productJson(R"("9.0")", R"("not a url")"),
            "Update check failed: invalid payload" },
        CheckCase { "download_url_without_host", 200, productJson(R"("9.0")", R"("https://")"),
            "Update check failed: invalid payload" },
        CheckCase { "blank_download_url", 200, productJson(R"("9.0")", R"("  ")"), "Update check failed: invalid payload" },
        CheckCase { "not_modified", 304, "", "Update check failed: network error" },
        CheckCase { "server_error", 500, productJson(R"("9.0")", downloadUrl), "Update check failed: network error" },
        CheckCase { "not_found", 404, "not found", "Update check failed: network error" }),
    [](const auto& testInfo) { return std::string(testInfo.param.name); });

TEST_F(AboutView, NewerVersionAsksBeforeDownloading)
{
    LocalHttpServer server([](const LocalHttpServer::Request&) { return answer(200, productJson(R"("2.0")", downloadUrl)); });
    auto view = makeView(server.baseUrl());
    checkOnce(*view);

    ASSERT_TRUE(view->updatePrompt());
    EXPECT_EQ(view->updatePrompt()->version, "2.0");
    QMessageBox* question = view->currentAlert();
    ASSERT_NE(question, nullptr);
    EXPECT_EQ(question->text(), QStringLiteral("Download the update?"));
    EXPECT_EQ(question->informativeText(), QStringLiteral("New version found 2.0"));

    press(question, QStringLiteral("Cancel"));
    EXPECT_FALSE(view->updatePrompt());
    EXPECT_FALSE(view->isDownloading());
    EXPECT_EQ(server.requests().size(), 1u);
}

TEST_F(AboutView, NoticesFollowTheLanguage)
{
    testing::LanguageGuard chinese("zh_CN");
    LocalHttpServer server([](const LocalHttpServer::Request&) { return answer(500, ""); });
    auto view = makeView(server.baseUrl());
    EXPECT_EQ(checkOnce(*view), "检查更新失败：网络错误");
    EXPECT_EQ(view->currentAlert()->text(), QStringLiteral("提示"));
    EXPECT_EQ(view->currentAlert()->buttons().at(0)->text(), QStringLiteral("好"));
    EXPECT_EQ(view->findChild<QPushButton*>(QStringLiteral("checkUpdateButton"))->text(), QStringLiteral("检查更新"));
}

TEST_F(AboutView, DismissingTheNoticeClearsIt)
{
    LocalHttpServer server([](const LocalHttpServer::Request&) { return answer(200, productJson(R"("1.0")", downloadUrl)); });
    auto view = makeView(server.baseUrl());
    checkOnce(*view);
    ASSERT_TRUE(view->infoMessage());
    press(view->currentAlert(), QStringLiteral("OK"));
    EXPECT_FALSE(view->infoMessage());
}

TEST_F(AboutView, UnreachableServiceGivesTheFailureNotice)
{
    auto view = makeView("http://127.0.0.1:" + std::to_string(LocalHttpServer::closedPort()));
    EXPECT_EQ(checkOnce(*view), "Update check failed: Could not connect to the server.");
}

TEST_F(AboutView, HangingServiceTimesOutWithoutBlocking)
{
    LocalHttpServer server([](const LocalHttpServer::Request&) {
        LocalHttpServer::Response response;
        response.hang = true;
        return response;
    });
    WindowsConfiguration configuration = testing::testConfiguration(server.baseUrl());
    configuration.requestTimeoutMilliseconds = 300;
    AboutTallowinView view(configuration, desktop);
    QSignalSpy finished(&view, &AboutTallowinView::updateCheckFinished);
    view.checkForUpdate();
    // The call returned at once; the answer comes through the event loop.
    EXPECT_TRUE(view.isCheckingUpdate());
    ASSERT_TRUE(finished.wait(waitMilliseconds));
    EXPECT_EQ(view.infoMessage()->text, "Update check failed: The request timed out.");
}

TEST_F(AboutView, SecondPressDuringACheckIsIgnored)
{
    LocalHttpServer server([](const LocalHttpServer::Request&) { return answer(200, productJson(R"("1.0")", downloadUrl)); });
    auto view = makeView(server.baseUrl());
    QSignalSpy finished(view.get(), &AboutTallowinView::updateCheckFinished);
    auto* button = view->findChild<QPushButton*>(QStringLiteral("checkUpdateButton"));
    button->click();
    button->click();
    ASSERT_TRUE(finished.wait(waitMilliseconds));
    QTest::qWait(200);
    EXPECT_EQ(finished.size(), 1);
    EXPECT_EQ(server.requests().size(), 1u);
}

TEST_F(AboutView, InvalidServiceAddressIsReportedAtOnce)
{
    auto view = makeView("not a base url");
    EXPECT_EQ(checkOnce(*view), "Invalid update URL");
}

// The download: the check finds 2.0 and the user answers "Download".
class AboutDownload : public AboutView {
protected:
    void SetUp() override
    {
        server = std::make_unique<LocalHttpServer>([this](const LocalHttpServer::Request& request) {
            if (request.target.starts_with("/api/products/"))
                return answer(200, productJson(R"("2.0")", "\"" + base + fileTarget + "\""));
            return fileResponse;
        });
        base = server->baseUrl();
    }

    // Checks, answers the question and waits for the download to end.
    void checkAndDownload(AboutTallowinView& view)
    {
        checkOnce(view);
        ASSERT_TRUE(view.updatePrompt());
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
    void writeFile(const QString& name, const QByteArray& content) const
    {
        QFile file(QDir(folder()).filePath(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(content);
    }

    std::string base;
    std::string fileTarget = "/files/Tallowin-2.0.deb";
    // Set before the first request; the server thread only reads it.
    LocalHttpServer::Response fileResponse;
    std::unique_ptr<LocalHttpServer> server;
};

TEST_F(AboutDownload, ReplacesAnExistingFileAndOpensIt)
{
    std::string installer(300'000, '\0');
    for (std::size_t index = 0; index < installer.size(); ++index)
        installer[index] = static_cast<char>(index * 7 + 3);
    fileResponse = answer(200, installer,
        { { "Content-Type", "application/vnd.debian.binary-package" },
            { "Content-Disposition", R"(attachment; filename="tallowin_2.0_amd64.deb")" } });
    writeFile(QStringLiteral("tallowin_2.0_amd64.deb"), QByteArray("an older download"));
    auto view = makeView(base);

    checkAndDownload(*view);

    EXPECT_FALSE(view->infoMessage()) << view->infoMessage()->text;
    EXPECT_EQ(fileContent(QStringLiteral("tallowin_2.0_amd64.deb")), QByteArray::fromStdString(installer));
    // Nothing but the file: no temporary left beside it.
    EXPECT_EQ(downloadedNames(), QStringList { QStringLiteral("tallowin_2.0_amd64.deb") });
    EXPECT_EQ(desktop->opened, QStringList { QDir(folder()).filePath(QStringLiteral("tallowin_2.0_amd64.deb")) });
    EXPECT_EQ(view->downloadedFile(), desktop->opened.value(0));
}

TEST_F(AboutDownload, NamesTheFileAfterTheUrlWithoutDisposition)
{
    fileResponse = answer(200, "package bytes", { { "Content-Type", "application/octet-stream" } });
    auto view = makeView(base);
    checkAndDownload(*view);
    EXPECT_EQ(downloadedNames(), QStringList { QStringLiteral("Tallowin-2.0.deb") });
    EXPECT_EQ(fileContent(QStringLiteral("Tallowin-2.0.deb")), QByteArray("package bytes"));
}

TEST_F(AboutDownload, ErrorPageNeitherReplacesNorLeavesAFile)
{
    fileResponse = answer(404, "<html>not here</html>", { { "Content-Type", "text/html" } });
    writeFile(QStringLiteral("Tallowin-2.0.deb"), QByteArray("the good old one"));
    auto view = makeView(base);
    checkAndDownload(*view);

    ASSERT_TRUE(view->infoMessage());
    EXPECT_EQ(view->infoMessage()->text, "Download failed: The server answered with status 404.");
    EXPECT_EQ(fileContent(QStringLiteral("Tallowin-2.0.deb")), QByteArray("the good old one"));
    EXPECT_EQ(downloadedNames(), QStringList { QStringLiteral("Tallowin-2.0.deb") });
    EXPECT_TRUE(desktop->opened.isEmpty());
}

TEST_F(AboutDownload, InterruptedTransferLeavesTheOldFile)
{
    // The server promises more than it sends and closes the connection.
    fileResponse = answer(200, "half", { { "Content-Type", "application/octet-stream" } });
    fileTarget = "/files/short.deb";
    writeFile(QStringLiteral("short.deb"), QByteArray("complete"));
    fileResponse.contentLength = 1000;
    auto view = makeView(base);
    checkAndDownload(*view);

    ASSERT_TRUE(view->infoMessage());
    EXPECT_TRUE(view->infoMessage()->text.starts_with("Download failed: ")) << view->infoMessage()->text;
    EXPECT_EQ(fileContent(QStringLiteral("short.deb")), QByteArray("complete"));
    EXPECT_EQ(downloadedNames(), QStringList { QStringLiteral("short.deb") });
}

TEST_F(AboutDownload, ClosingTheWindowMidwayLeavesNoPartialFile)
{
    fileResponse = answer(200, std::string(300'000, 'p'), { { "Content-Type", "application/octet-stream" } });
    fileResponse.contentLength = 1'000'000;
    fileResponse.stall = true;
    writeFile(QStringLiteral("Tallowin-2.0.deb"), QByteArray("previous"));
    auto view = makeView(base);
    checkOnce(*view);
    press(view->currentAlert(), QStringLiteral("Download"));
    // Part of the file is under way; it stalls, so the download is still running.
    ASSERT_TRUE(QTest::qWaitFor([&] { return server->requests().size() == 2; }, waitMilliseconds));
    QTest::qWait(300);
    EXPECT_TRUE(view->isDownloading());

    view.reset();
    EXPECT_EQ(downloadedNames(), QStringList { QStringLiteral("Tallowin-2.0.deb") });
    EXPECT_EQ(fileContent(QStringLiteral("Tallowin-2.0.deb")), QByteArray("previous"));
    EXPECT_TRUE(desktop->opened.isEmpty());
}

TEST_F(AboutDownload, NoApplicationToOpenItIsANotice)
{
    desktop = std::make_shared<testing::RecordingDesktopServices>(folder(), false);
    fileResponse = answer(200, "bytes", { { "Content-Type", "application/octet-stream" } });
    auto view = makeView(base);
    checkAndDownload(*view);
    ASSERT_TRUE(view->infoMessage());
    EXPECT_EQ(view->infoMessage()->text, "Download failed: No application could open the downloaded file.");
    EXPECT_EQ(fileContent(QStringLiteral("Tallowin-2.0.deb")), QByteArray("bytes"));
}

TEST(DownloadFolder, IsTheUsersExistingDownloadsFolderElseTemporary)
{
    testing::TemporaryDirectory home("tallowin-home");
    std::filesystem::create_directories(home.path() / ".config");
    std::filesystem::create_directories(home.path() / "Fetched");
    testing::EnvironmentGuard homeGuard("HOME", home.path().c_str());
    testing::EnvironmentGuard configGuard("XDG_CONFIG_HOME", (home.path() / ".config").c_str());
    auto writeUserDirs = [&](const char* folder) {
        QFile file(QString::fromStdString((home.path() / ".config" / "user-dirs.dirs").string()));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(QByteArray("XDG_DOWNLOAD_DIR=\"$HOME/") + folder + "\"\n");
    };
    auto services = DesktopServices::system();

    writeUserDirs("Fetched");
    EXPECT_EQ(services->downloadFolder(), QString::fromStdString((home.path() / "Fetched").string()));
    // A folder the user's settings name but that is not there is no place to save to.
    writeUserDirs("Gone");
    EXPECT_EQ(services->downloadFolder(), QDir::tempPath());
}

TEST_F(AboutView, VersionLineShowsVersionAndBuild)
{
    auto view = makeView("http://127.0.0.1:1", "3.1.4");
    EXPECT_EQ(view->findChild<QLabel*>(QStringLiteral("versionLine"))->text(), QStringLiteral("Version: 3.1.4 · Build: 42"));
    testing::LanguageGuard chinese("zh_CN.UTF-8");
    WindowsConfiguration configuration = testing::testConfiguration("http://127.0.0.1:1", "");
    configuration.buildNumber.clear();
    AboutTallowinView unversioned(configuration, desktop);
    EXPECT_EQ(unversioned.versionLineText(), QStringLiteral("版本：— · 构建：—"));
}

// Reads every QR code in a picture with zbar, as a phone's scanner would.
std::vector<std::string> decodeQRCodes(const QImage& picture)
{
    QImage gray = picture.convertToFormat(QImage::Format_Grayscale8);
    std::vector<unsigned char> pixels;
    pixels.reserve(static_cast<std::size_t>(gray.width() * gray.height()));
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

TEST(QRCode, ShownCodeDecodesToTheContactLink)
{
    testing::TemporaryDirectory unused;
    AboutTallowinView view(testing::testConfiguration("http://127.0.0.1:1"),
        std::make_shared<testing::RecordingDesktopServices>(QString::fromStdString(unused.path().string())));
    auto* code = view.findChild<QRCodeView*>(QStringLiteral("qrCode"));
    ASSERT_NE(code, nullptr);
    EXPECT_EQ(code->sizeHint(), QSize(64, 64));
    // As drawn on a 1× and on a 3× screen.
    for (qreal ratio : { 1.0, 3.0 }) {
        EXPECT_EQ(decodeQRCodes(code->image(ratio)), std::vector<std::string> { "https://u.wechat.com/tallowin-test" })
            << "device pixel ratio " << ratio;
    }
}

struct QRSizeCase {
    int pixels;
    int minimumModulePixels;
    int minimumQuietModules;
};

class QRPicture : public ::testing::TestWithParam<QRSizeCase> { };

TEST_P(QRPicture, ModulesAreWholeEqualPixelSquares)
{
    auto matrix = encodeQRCode("https://u.wechat.com/tallowin-test");
    ASSERT_TRUE(matrix);
    QImage picture = renderQRCode(*matrix, GetParam().pixels);
    ASSERT_EQ(picture.width(), GetParam().pixels);

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
    EXPECT_GE(modulePixels, GetParam().minimumModulePixels);
    EXPECT_GE(origin, GetParam().minimumQuietModules * modulePixels);

    int wrong = 0;
    for (int y = 0; y < picture.height(); ++y) {
        for (int x = 0; x < picture.width(); ++x) {
            int mx = x >= origin ? (x - origin) / modulePixels : -1;
            int my = y >= origin ? (y - origin) / modulePixels : -1;
            bool inside = mx >= 0 && my >= 0 && mx < matrix->width && my < matrix->width;
            bool dark = inside && matrix->isDark(mx, my);
            // Only pure black and pure white: no smoothing at module edges.
            if (picture.pixel(x, y) != (dark ? qRgb(0, 0, 0) : qRgb(255, 255, 255)))
                ++wrong;
        }
    }
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(decodeQRCodes(picture), std::vector<std::string> { "https://u.wechat.com/tallowin-test" });
}

// The link needs 33 modules at level H. At 64 pixels the quiet zone gives way to two-pixel
// modules; from 82 pixels on there is room for both.
INSTANTIATE_TEST_SUITE_P(Sizes, QRPicture,
    ::testing::Values(QRSizeCase { 64, 1, 1 }, QRSizeCase { 70, 2, 1 }, QRSizeCase { 82, 2, 4 },
        QRSizeCase { 192, 4, 4 }, QRSizeCase { 333, 8, 4 }));

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
    EXPECT_EQ(footnote->text(), QStringLiteral("二维码生成失败，请使用上方链接添加 WeChat。"));

    view.setContent(QStringLiteral("https://example.com"));
    EXPECT_TRUE(view.hasCode());
    EXPECT_FALSE(footnote->isVisible());
}

}
}
