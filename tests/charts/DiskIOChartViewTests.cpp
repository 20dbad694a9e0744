#include "charts/view/DiskIOChartSection.h"
#include "charts/view/DiskIOGraphCanvas.h"
#include "charts/view/TooltipBubbleView.h"
#include "dashboard/QtTestApplication.h"
#include "support/LanguageGuard.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QImage>
#include <QMouseEvent>
#include <QNativeGestureEvent>
#include <QPainter>
#include <QVBoxLayout>
#include <QWheelEvent>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <numeric>

namespace tallowin {
namespace {

using namespace std::chrono_literals;

// One application for the whole program, gone before the program's static objects are: a
// QApplication destroyed during static destruction outlives parts of Qt it still needs.
[[maybe_unused]] const auto* const qtEnvironment
    = ::testing::AddGlobalTestEnvironment(new testing::QtApplicationEnvironment);

// The plot is 1020 × 400 inside the card's padding: 255 slot gaps of exactly 4 points.
constexpr int plotWidth = 1020;
constexpr int plotHeight = 400;
constexpr int cardWidth = plotWidth + 2 * DiskIOChartSection::horizontalPadding;
constexpr int cardHeight = plotHeight + 2 * DiskIOChartSection::verticalPadding;
constexpr WallClockTime firstTimestamp = 1'740'816'930.25;

// One sample a second; the byte counts are also the rates at that interval.
std::vector<DiskSample> steadySamples(std::size_t count, std::uint64_t read, std::uint64_t write)
{
    std::vector<DiskSample> samples;
    for (std::size_t i = 0; i < count; ++i)
        samples.push_back({ Uuid::random(), firstTimestamp + static_cast<double>(i), read, write });
    return samples;
}

bool isGreen(QColor c) { return c.green() > 150 && c.red() < 130 && c.blue() < 160; }
bool isOrange(QColor c) { return c.red() > 200 && c.green() > 100 && c.green() < 190 && c.blue() < 80; }

class DiskIOChartViewTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        section = std::make_unique<DiskIOChartSection>(QFont("DejaVu Sans"), viewport, mainQueue);
        section->resize(cardWidth, cardHeight);
        section->show();
        QCoreApplication::processEvents();
        ASSERT_EQ(canvas().size(), QSize(plotWidth, plotHeight));
    }

    DiskIOGraphCanvas& canvas() { return section->canvas(); }

    // Runs the posted work until the cache has published what the predicate wants.
    bool waitForPlotted(const std::function<bool(const std::vector<IndexedSample>&)>& wanted)
    {
        return mainQueue->runUntil([&] { return wanted(canvas().plottedSamples()); }, 10s);
    }
    bool waitForPlottedCount(std::size_t count)
    {
        return waitForPlotted([&](const auto& plotted) { return plotted.size() == count; });
    }

    void send(QEvent& event) { QApplication::sendEvent(&canvas(), &event); }
    void mouse(QEvent::Type type, QPointF at, Qt::MouseButton button, Qt::MouseButtons buttons)
    {
        QMouseEvent event(type, at, canvas().mapToGlobal(at), button, buttons, Qt::NoModifier);
        send(event);
    }
    void moveTo(QPointF at, Qt::MouseButtons buttons = Qt::NoButton)
    {
        mouse(QEvent::MouseMove, at, Qt::NoButton, buttons);
    }
    void drag(QPointF from, std::vector<QPointF> through)
    {
        mouse(QEvent::MouseButtonPress, from, Qt::LeftButton, Qt::LeftButton);
        for (auto at : through)
            moveTo(at, Qt::LeftButton);
        mouse(QEvent::MouseButtonRelease, through.back(), Qt::LeftButton, Qt::NoButton);
    }
    void gesture(Qt::NativeGestureType type, double value = 0)
    {
        const QPointF at(500, 200);
        QNativeGestureEvent event(
            type, QPointingDevice::primaryPointingDevice(), 2, at, at, canvas().mapToGlobal(at), value, QPointF());
        send(event);
    }
    bool wheel(int angle, Qt::KeyboardModifiers modifiers, Qt::ScrollPhase phase = Qt::NoScrollPhase)
    {
        const QPointF at(500, 200);
        QWheelEvent event(at, canvas().mapToGlobal(at), QPoint(), QPoint(0, angle), Qt::NoButton, modifiers, phase, false);
        send(event);
        return event.isAccepted();
    }

    std::shared_ptr<EventLoopMainQueue> mainQueue = std::make_shared<EventLoopMainQueue>();
    std::shared_ptr<ChartViewport> viewport = std::make_shared<ChartViewport>();
    std::unique_ptr<DiskIOChartSection> section;
};

TEST_F(DiskIOChartViewTest, EmptyChartWaitsWithOnlyTheZeroTickAndStillZoomsAndPans)
{
    testing::LanguageGuard english("en_US");
    section->setSamples({}, 1000);
    EXPECT_TRUE(canvas().plottedSamples().empty());
    EXPECT_EQ(canvas().throughputTicks(), (std::vector<DiskIOGraphCanvas::AxisTick> { { 0, 0 } }));
    EXPECT_EQ(canvas().timeTicks().size(), 7u);

    const QImage image = canvas().grab().toImage();
    int lightPixels = 0;
    for (int y = plotHeight / 2 - 12; y < plotHeight / 2 + 12; ++y)
        for (int x = plotWidth / 2 - 100; x < plotWidth / 2 + 100; ++x)
            lightPixels += QColor(image.pixel(x, y)).lightness() > 100 ? 1 : 0;
    EXPECT_GT(lightPixels, 50) << "the waiting text is missing";

    EXPECT_TRUE(wheel(120, Qt::ControlModifier, Qt::ScrollEnd));
    EXPECT_DOUBLE_EQ(viewport->scale, 1.1);
    drag({ 500, 200 }, { { 480, 200 }, { 450, 200 } });
    EXPECT_DOUBLE_EQ(viewport->offset, -50);
    // The slack of a 1.1× chart is a tenth of its width; a longer drag stops there.
    drag({ 500, 200 }, { { 480, 200 }, { 0, 200 } });
    EXPECT_NEAR(viewport->offset, -0.1 * plotWidth, 1e-9);
}

TEST_F(DiskIOChartViewTest, ShortHistorySitsAtTheRightAndALongOneShowsItsNewest)
{
    // The user's language reaches the tooltip.
    testing::LanguageGuard chinese("zh_CN");
    section->setSamples(steadySamples(10, 1'000, 2'000), 1000);
    EXPECT_EQ(canvas().leadingPaddingCount(), 246);
    ASSERT_TRUE(waitForPlottedCount(10));
    EXPECT_DOUBLE_EQ(canvas().layoutGeometry().xOf(0), 246 * 4);
    EXPECT_DOUBLE_EQ(canvas().layoutGeometry().xOf(9), plotWidth);
    // The oldest sample keeps its slot however far the chart is dragged right.
    drag({ 500, 200 }, { { 520, 200 }, { 700, 200 } });
    EXPECT_EQ(viewport->offset, 0);

    const auto history = steadySamples(300, 1'000, 2'000);
    section->setSamples(history, 1000);
    ASSERT_EQ(canvas().samples().size(), 256u);
    EXPECT_EQ(canvas().samples().front().id, history[44].id);
    EXPECT_EQ(canvas().samples().back().id, history.back().id);
    EXPECT_EQ(canvas().leadingPaddingCount(), 0);
    ASSERT_TRUE(waitForPlottedCount(256));

    moveTo({ 10 * 4 + 1, 200 });
    ASSERT_TRUE(canvas().hoveredSample());
    EXPECT_EQ(canvas().hoveredSample()->index, 10);
    const auto& bubble = canvas().tooltipBubble();
    EXPECT_TRUE(bubble.primaryLine().startsWith(QString::fromUtf8("时间: "))) << bubble.primaryLine().toStdString();
    EXPECT_NE(bubble.primaryLine().indexOf(QString::fromUtf8("相对时间: 10 秒 · 采样时长: 1 秒")), -1);
    EXPECT_EQ(bubble.secondaryLine(), QString::fromUtf8("读取: 1 KB/秒 (1 KB) | 写入: 2 KB/秒 (2 KB)"));
}

TEST_F(DiskIOChartViewTest, PinchStopsAtFourHundredAndZoomingOutPutsTheChartBack)
{
    section->setSamples(steadySamples(256, 1'000, 2'000), 1000);
    gesture(Qt::BeginNativeGesture);
    gesture(Qt::ZoomNativeGesture, 2.0);
    // Live: shown at 3× but not yet stored.
    EXPECT_DOUBLE_EQ(canvas().magnifyBy(), 3);
    EXPECT_DOUBLE_EQ(canvas().layoutGeometry().step, 12);
    EXPECT_EQ(viewport->scale, 1);
    gesture(Qt::ZoomNativeGesture, 1000);
    EXPECT_DOUBLE_EQ(canvas().layoutGeometry().effectiveScale, 400);
    gesture(Qt::EndNativeGesture);
    EXPECT_EQ(viewport->scale, 400);
    EXPECT_EQ(canvas().magnifyBy(), 1);

    drag({ 500, 200 }, { { 480, 200 }, { -1'000'000, 200 } });
    EXPECT_DOUBLE_EQ(viewport->offset, plotWidth - 255.0 * 1600);

    gesture(Qt::BeginNativeGesture);
    gesture(Qt::ZoomNativeGesture, -0.9999);
    gesture(Qt::EndNativeGesture);
    EXPECT_EQ(viewport->scale, 1);
    // The stored pan belongs to the zoomed chart; at 1× the limits put the chart back in place.
    EXPECT_DOUBLE_EQ(canvas().layoutGeometry().xOrigin, 0);

    // A change below one percent is no pinch at all.
    gesture(Qt::BeginNativeGesture);
    gesture(Qt::ZoomNativeGesture, 0.005);
    EXPECT_EQ(canvas().magnifyBy(), 1);
    gesture(Qt::EndNativeGesture);
    EXPECT_EQ(viewport->scale, 1);
}

TEST_F(DiskIOChartViewTest, CtrlWheelZoomsLiveAndCommitsWhenTheWheelRests)
{
    section->setSamples(steadySamples(256, 1'000, 2'000), 1000);
    EXPECT_FALSE(wheel(120, Qt::NoModifier)) << "a plain wheel belongs to whatever scrolls around the chart";
    EXPECT_EQ(canvas().magnifyBy(), 1);

    for (int notch = 0; notch < 3; ++notch)
        EXPECT_TRUE(wheel(120, Qt::ControlModifier));
    EXPECT_NEAR(canvas().magnifyBy(), 1.331, 1e-12);
    EXPECT_EQ(viewport->scale, 1);

    QElapsedTimer timer;
    timer.start();
    while (viewport->scale == 1 && timer.elapsed() < 5000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    EXPECT_NEAR(viewport->scale, 1.331, 1e-12);
    EXPECT_EQ(canvas().magnifyBy(), 1);
}

TEST_F(DiskIOChartViewTest, DragStartsAfterTenPointsIgnoresHeightAndStoresTheOffsetOnRelease)
{
    viewport->scale = 4;
    section->setSamples(steadySamples(256, 1'000, 2'000), 1000);
    mouse(QEvent::MouseButtonPress, { 500, 200 }, Qt::LeftButton, Qt::LeftButton);
    moveTo({ 507, 205 }, Qt::LeftButton);
    EXPECT_EQ(canvas().dragTranslation(), 0);
    moveTo({ 480, 260 }, Qt::LeftButton);
    EXPECT_EQ(canvas().dragTranslation(), -20);
    EXPECT_EQ(viewport->offset, 0) << "the viewport changes only when the drag ends";
    mouse(QEvent::MouseButtonRelease, { 480, 260 }, Qt::LeftButton, Qt::NoButton);
    EXPECT_EQ(viewport->offset, -20);
    EXPECT_EQ(canvas().dragTranslation(), 0);

    // A press and release without moving leaves everything as it was.
    mouse(QEvent::MouseButtonPress, { 500, 200 }, Qt::LeftButton, Qt::LeftButton);
    mouse(QEvent::MouseButtonRelease, { 500, 200 }, Qt::LeftButton, Qt::NoButton);
    EXPECT_EQ(viewport->offset, -20);
}

TEST_F(DiskIOChartViewTest, HoverPicksTheNearestPointAndTheTooltipFlipsNearTheEdges)
{
    // Reads at exactly 1 GB/s sit on the top edge.
    section->setSamples(steadySamples(256, 1'000'000'000, 0), 1000);
    ASSERT_TRUE(waitForPlottedCount(256));

    moveTo({ 250 * 4 + 1.5, 100 });
    ASSERT_TRUE(canvas().hoveredSample());
    EXPECT_EQ(canvas().hoveredSample()->index, 250);
    EXPECT_TRUE(canvas().tooltipBubble().isVisible());
    const QRect bubble = canvas().tooltipBubble().geometry();
    EXPECT_EQ(QSizeF(bubble.size()), canvas().tooltipContentSize());
    EXPECT_EQ(bubble.right() + 1, 250 * 4 - 16) << "left of the marker";
    EXPECT_EQ(bubble.top(), 16) << "below the marker at the top edge";
    moveTo({ 20 * 4, 100 });
    EXPECT_EQ(canvas().tooltipBubble().geometry().left(), 20 * 4 + 16);

    QEvent leave(QEvent::Leave);
    send(leave);
    EXPECT_FALSE(canvas().hoveredSample());
    EXPECT_FALSE(canvas().tooltipBubble().isVisible());

    // Over the card's padding, 8 points left of the plot: the oldest point.
    QMouseEvent overPadding(QEvent::MouseMove, QPointF(10, 200), section->mapToGlobal(QPointF(10, 200)), Qt::NoButton,
        Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(section.get(), &overPadding);
    ASSERT_TRUE(canvas().hoveredSample());
    EXPECT_EQ(canvas().hoveredSample()->index, 0);

    canvas().hoverAt(QPointF(-17, 200));
    EXPECT_FALSE(canvas().hoveredSample());
}

TEST_F(DiskIOChartViewTest, NarrowChartReportsItsSizeAndDrawsAtMostTwoPointsPerPointOfWidth)
{
    std::vector<QSizeF> reported;
    section->setOnChartSizeChange([&](QSizeF size) { reported.push_back(size); });
    section->resize(50 + 2 * DiskIOChartSection::horizontalPadding, cardHeight + 100);
    QCoreApplication::processEvents();
    EXPECT_EQ(reported, (std::vector<QSizeF> { QSizeF(plotWidth, plotHeight), QSizeF(50, plotHeight + 100) }));
    section->setSamples(steadySamples(256, 1'000, 2'000), 1000);
    ASSERT_TRUE(waitForPlotted([](const auto& plotted) { return !plotted.empty(); }));
    const auto& plotted = canvas().plottedSamples();
    EXPECT_LE(plotted.size(), 100u);
    const auto covered = std::accumulate(plotted.begin(), plotted.end(), std::int64_t { 0 },
        [](std::int64_t sum, const IndexedSample& point) { return sum + point.sampleCount; });
    EXPECT_EQ(covered, 256);
}

TEST_F(DiskIOChartViewTest, DrawsDotsWhereTheSamplesAreAndNothingLeftOfTheOldest)
{
    // Reads at half of the 1 GB/s top, writes at zero on the bottom edge.
    section->setSamples(steadySamples(20, 500'000'000, 0), 1000);
    ASSERT_TRUE(waitForPlottedCount(20));
    const QImage image = canvas().grab().toImage();
    const auto layout = canvas().layoutGeometry();
    const int readX = static_cast<int>(layout.xOf(10));
    EXPECT_TRUE(isGreen(image.pixelColor(readX, plotHeight / 2))) << image.pixelColor(readX, plotHeight / 2).name().toStdString();
    EXPECT_TRUE(isOrange(image.pixelColor(readX, plotHeight - 1))) << image.pixelColor(readX, plotHeight - 1).name().toStdString();

    const int oldestX = static_cast<int>(layout.xOf(0));
    int coloured = 0;
    for (int y = 0; y < plotHeight; ++y)
        for (int x = 0; x < oldestX - 3; ++x)
            coloured += isGreen(image.pixelColor(x, y)) || isOrange(image.pixelColor(x, y)) ? 1 : 0;
    EXPECT_EQ(coloured, 0);
}

class PaintCounter : public QObject {
public:
    int paints { 0 };

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        paints += event->type() == QEvent::Paint ? 1 : 0;
        return false;
    }
};

TEST_F(DiskIOChartViewTest, FullChartRepaintsOncePerBatchWhenTheNewPointsArrive)
{
    section->setSamples(steadySamples(256, 1'000, 2'000), 1000);
    ASSERT_TRUE(waitForPlottedCount(256));
    QCoreApplication::processEvents();
    PaintCounter counter;
    canvas().installEventFilter(&counter);

    const auto next = steadySamples(256, 5'000, 2'000);
    section->setSamples(next, 1000);
    QCoreApplication::processEvents();
    EXPECT_EQ(counter.paints, 0) << "the old points would only be drawn again";
    ASSERT_TRUE(waitForPlotted([](const auto& plotted) { return plotted.front().readSpeed == 5'000; }));
    QCoreApplication::processEvents();
    EXPECT_EQ(counter.paints, 1);
    canvas().removeEventFilter(&counter);
}

// Pictures for a person to look at: written only when TALLOWIN_CHART_SCREENSHOTS names a folder.
TEST_F(DiskIOChartViewTest, SavesScreenshotsWhenAsked)
{
    const QString folder = qEnvironmentVariable("TALLOWIN_CHART_SCREENSHOTS");
    if (folder.isEmpty())
        GTEST_SKIP() << "set TALLOWIN_CHART_SCREENSHOTS to a folder to write the chart's pictures";
    ASSERT_TRUE(QDir().mkpath(folder));
    testing::LanguageGuard language(qEnvironmentVariable("LANGUAGE", "en_US").toUtf8().constData());

    // A dark window behind the card, as in the application.
    QWidget window;
    window.setAutoFillBackground(true);
    QPalette palette = window.palette();
    palette.setColor(QPalette::Window, QColor(30, 30, 32));
    window.setPalette(palette);
    auto* layout = new QVBoxLayout(&window);
    layout->setContentsMargins(20, 20, 20, 20);
    auto* card = new DiskIOChartSection(QFont("DejaVu Sans"), viewport, mainQueue, &window);
    layout->addWidget(card);
    window.resize(cardWidth + 40, cardHeight + 40);
    window.show();
    QCoreApplication::processEvents();

    EXPECT_TRUE(window.grab().save(folder + "/chart-empty.png"));

    std::vector<DiskSample> samples;
    for (std::size_t i = 0; i < 180; ++i) {
        const double phase = static_cast<double>(i) / 12.0;
        const auto read = static_cast<std::uint64_t>(2.0e8 + 1.5e8 * std::sin(phase) + (i % 17 == 0 ? 4e8 : 0));
        const auto write = static_cast<std::uint64_t>(1.2e8 + 1.0e8 * std::cos(phase * 0.7));
        samples.push_back({ Uuid::random(), firstTimestamp + static_cast<double>(i), read, write });
    }
    card->setSamples(samples, 1000);
    ASSERT_TRUE(mainQueue->runUntil([&] { return card->canvas().plottedSamples().size() == samples.size(); }, 10s));
    EXPECT_TRUE(window.grab().save(folder + "/chart-data.png"));

    const double x = card->canvas().layoutGeometry().xOf(150);
    card->canvas().hoverAt(QPointF(x, 150));
    QCoreApplication::processEvents();
    EXPECT_TRUE(window.grab().save(folder + "/chart-tooltip.png"));
    const double nearRight = card->canvas().layoutGeometry().xOf(175);
    card->canvas().hoverAt(QPointF(nearRight, 150));
    QCoreApplication::processEvents();
    EXPECT_TRUE(window.grab().save(folder + "/chart-tooltip-right.png"));
}

}
}
