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

std::vector<DiskSample> steadySamples(std::size_t count, std::uint64_t read, std::uint64_t write)
{
    std::vector<DiskSample> samples(count);
    for (std::size_t i = 0; i < count; ++i) {
        samples[i].id = Uuid::random();
        samples[i].timestamp = 1'700'000'000.0 + static_cast<double>(i);
        samples[i].readBytes = read;
        samples[i].writeBytes = write;
    }
    return samples;
}

QImage rendered(const std::vector<DiskSample>& samples, int interval)
{
    auto png = ChartExportSupport::renderPNG(samples, interval, width, height);
    if (!png) {
        ADD_FAILURE() << localizedDescription(png.error(), Language::English);
        return {};
    }
    QImage image;
    EXPECT_TRUE(image.loadFromData(png->data(), static_cast<int>(png->size()), "PNG"));
    return image.convertToFormat(QImage::Format_ARGB32);
}

::testing::AssertionResult looksLike(const QImage& image, int x, int y, QColor expected, int tolerance)
{
    QColor actual = image.pixelColor(x, y);
    for (auto [a, e] : { std::pair { actual.red(), expected.red() }, { actual.green(), expected.green() },
             { actual.blue(), expected.blue() }, { actual.alpha(), expected.alpha() } }) {
        if (std::abs(a - e) > tolerance)
            return ::testing::AssertionFailure() << "pixel (" << x << ", " << y << ") is rgba(" << actual.red() << ", "
                                                 << actual.green() << ", " << actual.blue() << ", " << actual.alpha()
                                                 << "), expected rgba(" << expected.red() << ", " << expected.green()
                                                 << ", " << expected.blue() << ", " << expected.alpha() << ")";
    }
    return ::testing::AssertionSuccess();
}

TEST(ChartPngRenderer, DrawsAxesLinesAndSummaryAtTheirPlaces)
{
    testing::LanguageGuard english("en_US");
    // Read at half the write rate: the read line runs across the middle of the plot.
    auto image = rendered(steadySamples(600, 1'000'000, 2'000'000), 1000);
    ASSERT_FALSE(image.isNull());
    EXPECT_EQ(image.width(), width);
    EXPECT_EQ(image.height(), height);

    // Outside the plot the picture stays transparent.
    EXPECT_EQ(image.pixelColor(40, 40).alpha(), 0);
    // Inside the plot, only the faint frame fill: black at 6 %.
    EXPECT_TRUE(looksLike(image, plotLeft + 700, plotTop + plotHeight / 3 + 40, QColor(0, 0, 0, 15), 2));
    // The read line, opaque green, halfway up.
    EXPECT_TRUE(looksLike(image, plotLeft + 1000, plotTop + plotHeight / 2, QColor(52, 199, 89, 255), 3));
    // The write line along the top of the plot, opaque orange.
    EXPECT_TRUE(looksLike(image, plotLeft + 1000, plotTop, QColor(255, 149, 0, 255), 3));
    // The axes: primary text colour at 90 % over the frame.
    EXPECT_TRUE(looksLike(image, plotLeft, plotTop + plotHeight / 3, QColor(255, 255, 255, 231), 6));
    EXPECT_TRUE(looksLike(image, plotLeft + 1500, plotBottom, QColor(255, 255, 255, 231), 6));

    // The summary box: black at 45 % over the frame, in the top-right corner, with white text.
    const int boxRight = plotRight - 32;
    const int boxTop = plotTop + 32;
    EXPECT_TRUE(looksLike(image, boxRight - 14, boxTop + 14, QColor(0, 0, 0, 123), 3));
    EXPECT_EQ(image.pixelColor(boxRight + 8, boxTop + 14).alpha(), 15) << "right of the box";
    int whitePixels = 0;
    for (int y = boxTop; y < boxTop + 300; ++y)
        for (int x = boxRight - 700; x < boxRight; ++x) {
            QColor colour = image.pixelColor(x, y);
            whitePixels += colour.red() > 200 && colour.green() > 200 && colour.blue() > 200 && colour.alpha() > 200;
        }
    EXPECT_GT(whitePixels, 500) << "the summary lines are drawn";

    // The legend's green disc sits above the plot's left end.
    EXPECT_TRUE(looksLike(image, plotLeft + 24, plotTop - 48 - 24, QColor(52, 199, 89, 255), 3));
}

TEST(ChartPngRenderer, NoSamplesGiveAxesAndTheWaitingText)
{
    testing::LanguageGuard chinese("zh_CN");
    auto image = rendered({}, 1000);
    ASSERT_FALSE(image.isNull());
    EXPECT_EQ(image.size(), QSize(width, height));
    EXPECT_TRUE(looksLike(image, plotLeft, plotTop + plotHeight / 3, QColor(255, 255, 255, 231), 6));
    // The text is centred in the plot, in the secondary colour; no summary box is drawn.
    int textPixels = 0;
    for (int y = height / 2 - 80; y < height / 2 + 80; ++y)
        for (int x = plotLeft; x < plotRight; ++x)
            textPixels += image.pixelColor(x, y).alpha() > 100;
    EXPECT_GT(textPixels, 200);
    EXPECT_TRUE(looksLike(image, plotRight - 32 - 14, plotTop + 32 + 14, QColor(0, 0, 0, 15), 2));
}

TEST(ChartPngRenderer, ImpossibleSizeIsABitmapContextFailure)
{
    auto png = ChartExportSupport::renderPNG(steadySamples(3, 1, 1), 1000, 1e9, 1e9);
    ASSERT_FALSE(png);
    EXPECT_EQ(png.error(), ChartDataExportError::bitmapContextUnavailable);
    // The smallest picture still renders.
    auto tiny = ChartExportSupport::renderPNG(steadySamples(3, 1, 1), 1000, 0.5, -7);
    ASSERT_TRUE(tiny);
    QImage image;
    ASSERT_TRUE(image.loadFromData(tiny->data(), static_cast<int>(tiny->size()), "PNG"));
    EXPECT_EQ(image.size(), QSize(1, 1));
}

}
}
