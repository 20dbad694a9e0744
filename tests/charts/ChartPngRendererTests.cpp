#include "charts/ChartExportSupport.h"
#include "charts/ChartPngRenderer.h"
#include "support/LanguageGuard.h"

#include <QColor>
#include <QImage>
#include <gtest/gtest.h>

namespace tallowin {
namespace {

// The layout's fixed numbers, in Qt's top-left coordinates for a 3840 × 2160 picture.
constexpr int width = 3840;
constexpr int height = 2160;
constexpr int plotLeft = 220;
constexpr int plotTop = 160;
constexpr int plotRight = width - 160;
constexpr int plotBottom = height - 240;
constexpr int plotHeight = plotBottom - plotTop;
// The summary box's top-right corner.
constexpr int boxRight = plotRight - 32;
constexpr int boxTop = plotTop + 32;

const QColor frameFill(0, 0, 0, 15); // black at 6 %
const QColor axis(255, 255, 255, 231); // primary text colour at 90 % over the frame

std::vector<DiskSample> steadySamples(std::size_t count, std::uint64_t read, std::uint64_t write)
{
    std::vector<DiskSample> samples;
    for (std::size_t i = 0; i < count; ++i)
        samples.push_back({ Uuid::random(), 1'700'000'000.0 + static_cast<double>(i), read, write });
    return samples;
}

QImage decoded(const Expected<std::vector<std::uint8_t>, ChartDataExportError>& png)
{
    QImage image;
    if (!png)
        ADD_FAILURE() << localizedDescription(png.error(), Language::English);
    else
        EXPECT_TRUE(image.loadFromData(png->data(), static_cast<int>(png->size()), "PNG"));
    return image.convertToFormat(QImage::Format_ARGB32);
}

::testing::AssertionResult looksLike(const QImage& image, int x, int y, QColor expected, int tolerance)
{
    QColor actual = image.pixelColor(x, y);
    if (std::max({ std::abs(actual.red() - expected.red()), std::abs(actual.green() - expected.green()),
            std::abs(actual.blue() - expected.blue()), std::abs(actual.alpha() - expected.alpha()) })
        <= tolerance)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "(" << x << ", " << y << ") is " << actual.name(QColor::HexArgb).toStdString();
}

TEST(ChartPngRenderer, DrawsAxesLinesAndSummaryAtTheirPlaces)
{
    testing::LanguageGuard english("en_US");
    // Read at half the write rate: the read line runs across the middle of the plot.
    auto image = decoded(ChartExportSupport::renderPNG(steadySamples(600, 1'000'000, 2'000'000), 1000, width, height));
    ASSERT_EQ(image.size(), QSize(width, height));

    EXPECT_EQ(image.pixelColor(40, 40).alpha(), 0) << "outside the plot";
    EXPECT_TRUE(looksLike(image, plotLeft + 700, plotTop + plotHeight / 3 + 40, frameFill, 2));
    EXPECT_TRUE(looksLike(image, plotLeft + 1000, plotTop + plotHeight / 2, QColor(52, 199, 89, 255), 3));
    EXPECT_TRUE(looksLike(image, plotLeft + 1000, plotTop, QColor(255, 149, 0, 255), 3));
    EXPECT_TRUE(looksLike(image, plotLeft, plotTop + plotHeight / 3, axis, 6));
    EXPECT_TRUE(looksLike(image, plotLeft + 1500, plotBottom, axis, 6));
    // The legend's green disc above the plot's left end.
    EXPECT_TRUE(looksLike(image, plotLeft + 24, plotTop - 48 - 24, QColor(52, 199, 89, 255), 3));

    // The summary box: black at 45 % over the frame, with white text.
    EXPECT_TRUE(looksLike(image, boxRight - 14, boxTop + 14, QColor(0, 0, 0, 123), 3));
    EXPECT_EQ(image.pixelColor(boxRight + 8, boxTop + 14).alpha(), 15) << "right of the box";
    int whitePixels = 0;
    for (int y = boxTop; y < boxTop + 300; ++y)
        for (int x = boxRight - 700; x < boxRight; ++x) {
            QColor colour = image.pixelColor(x, y);
            whitePixels += colour.red() > 200 && colour.green() > 200 && colour.blue() > 200 && colour.alpha() > 200;
        }
    EXPECT_GT(whitePixels, 500) << "the summary lines are drawn";
}

TEST(ChartPngRenderer, NoSamplesGiveAxesAndTheWaitingTextButNoSummary)
{
    testing::LanguageGuard chinese("zh_CN");
    auto image = decoded(ChartExportSupport::renderPNG({}, 1000, width, height));
    ASSERT_EQ(image.size(), QSize(width, height));
    EXPECT_TRUE(looksLike(image, plotLeft, plotTop + plotHeight / 3, axis, 6));
    EXPECT_TRUE(looksLike(image, boxRight - 14, boxTop + 14, frameFill, 2));
    int textPixels = 0;
    for (int y = height / 2 - 80; y < height / 2 + 80; ++y)
        for (int x = plotLeft; x < plotRight; ++x)
            textPixels += image.pixelColor(x, y).alpha() > 100;
    EXPECT_GT(textPixels, 200) << "the waiting text, centred in the plot";
}

TEST(ChartPngRenderer, ImpossibleSizeIsABitmapContextFailureAndTheSmallestRenders)
{
    auto png = ChartExportSupport::renderPNG(steadySamples(3, 1, 1), 1000, 1e9, 1e9);
    ASSERT_FALSE(png);
    EXPECT_EQ(png.error(), ChartDataExportError::bitmapContextUnavailable);
    EXPECT_EQ(decoded(ChartExportSupport::renderPNG(steadySamples(3, 1, 1), 1000, 0.5, -7)).size(), QSize(1, 1));
}

}
}
