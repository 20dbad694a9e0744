// The live chart's drawing and hover costs on an offscreen QImage: one paint with the most points
// the cache may publish for a width (two per point of width and series), one paint of the real
// widget with a full 256-sample chart, and the hover pick over those points.
#include "charts/ChartCanvasGeometry.h"
#include "charts/view/ChartPainting.h"
#include "charts/view/DiskIOChartSection.h"
#include "charts/view/DiskIOGraphCanvas.h"

#include <QApplication>
#include <QImage>
#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>

namespace tallowin {
namespace {

constexpr double plotHeight = 400;

std::vector<IndexedSample> wavePoints(std::int64_t count)
{
    std::vector<IndexedSample> points;
    points.reserve(static_cast<std::size_t>(count));
    for (std::int64_t i = 0; i < count; ++i) {
        const double phase = static_cast<double>(i) / 40.0;
        points.push_back({ i, 4e8 + 3e8 * std::sin(phase), 3e8 + 2e8 * std::cos(phase), 1, 1, 1 });
    }
    return points;
}

// Two points per point of width: the x step between points is half a point.
PlotScene sceneFor(double width, const std::vector<IndexedSample>& points)
{
    PlotScene scene;
    scene.plot = QSizeF(width, plotHeight);
    scene.layout.step = 0.5;
    scene.layout.xOrigin = 0;
    scene.plotted = points;
    scene.throughputTicks = ChartCanvasGeometry::throughputTicks(ChartCanvasGeometry::largestRate(points));
    scene.timeTicks = ChartCanvasGeometry::timeTicks(1000);
    scene.hovered = points[points.size() / 2];
    scene.unifiedTextFont = QFont("DejaVu Sans");
    scene.unifiedTextFont.setPixelSize(14);
    scene.axisFont = scene.unifiedTextFont;
    return scene;
}

void BM_PaintPlotAtMostPublishedPoints(benchmark::State& state)
{
    const auto width = static_cast<double>(state.range(0));
    const auto points = wavePoints(static_cast<std::int64_t>(width * 2));
    const PlotScene scene = sceneFor(width, points);
    QImage image(static_cast<int>(width), static_cast<int>(plotHeight), QImage::Format_ARGB32_Premultiplied);
    for (auto _ : state) {
        image.fill(Qt::transparent);
        QPainter painter(&image);
        paintPlot(painter, scene);
    }
    state.counters["dots"] = static_cast<double>(points.size() * 2);
}
// Qt hands long spans to its own thread pool, so the cost is counted over all threads.
BENCHMARK(BM_PaintPlotAtMostPublishedPoints)->Arg(600)->Arg(1200)->Arg(2400)->MeasureProcessCPUTime()->Unit(benchmark::kMicrosecond);

void BM_PaintChartSectionWith256Samples(benchmark::State& state)
{
    auto mainQueue = std::make_shared<EventLoopMainQueue>();
    DiskIOChartSection section(QFont("DejaVu Sans"), std::make_shared<ChartViewport>(), mainQueue);
    section.resize(static_cast<int>(state.range(0)) + 36, static_cast<int>(plotHeight) + 32);
    section.show();
    QCoreApplication::processEvents();
    std::vector<DiskSample> samples;
    for (int i = 0; i < 256; ++i)
        samples.push_back({ Uuid::random(), 1.7e9 + i, static_cast<std::uint64_t>(4e8 + 3e8 * std::sin(i / 12.0)),
            static_cast<std::uint64_t>(3e8 + 2e8 * std::cos(i / 9.0)) });
    section.setSamples(samples, 1000);
    mainQueue->runUntil([&] { return section.canvas().plottedSamples().size() == 256; }, std::chrono::seconds(10));
    QImage image(section.size(), QImage::Format_ARGB32_Premultiplied);
    for (auto _ : state) {
        image.fill(Qt::transparent);
        section.render(&image);
    }
    state.counters["dots"] = static_cast<double>(section.canvas().plottedSamples().size() * 2);
}
BENCHMARK(BM_PaintChartSectionWith256Samples)->Arg(1200)->MeasureProcessCPUTime()->Unit(benchmark::kMicrosecond);

void BM_HoverPick(benchmark::State& state)
{
    const auto width = static_cast<double>(state.range(0));
    const auto points = wavePoints(static_cast<std::int64_t>(width * 2));
    double x = 0;
    for (auto _ : state) {
        x = x + 37 > width ? 0 : x + 37;
        benchmark::DoNotOptimize(ChartCanvasGeometry::hoverPick(
            ChartCanvasGeometry::Point { x, 100 }, { width, plotHeight }, points, 0.5, 0));
    }
}
BENCHMARK(BM_HoverPick)->Arg(1200)->Arg(2400);

// A pointer move that changes the hovered point: pick, tooltip texts, measuring and placing.
void BM_CanvasHoverMoveWithTooltip(benchmark::State& state)
{
    auto mainQueue = std::make_shared<EventLoopMainQueue>();
    DiskIOChartSection section(QFont("DejaVu Sans"), std::make_shared<ChartViewport>(), mainQueue);
    section.resize(1236, static_cast<int>(plotHeight) + 32);
    section.show();
    QCoreApplication::processEvents();
    std::vector<DiskSample> samples;
    for (int i = 0; i < 256; ++i)
        samples.push_back({ Uuid::random(), 1.7e9 + i, 1'000'000, 2'000'000 });
    section.setSamples(samples, 1000);
    mainQueue->runUntil([&] { return section.canvas().plottedSamples().size() == 256; }, std::chrono::seconds(10));
    const double step = section.canvas().layoutGeometry().step;
    int index = 0;
    for (auto _ : state) {
        index = (index + 7) % 256;
        section.canvas().hoverAt(QPointF(index * step, 200));
    }
}
BENCHMARK(BM_CanvasHoverMoveWithTooltip)->Unit(benchmark::kMicrosecond);

}
}

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
