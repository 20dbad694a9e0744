#include "dashboard/DashboardStyle.h"
#include "dashboard/DashboardTestSupport.h"
#include "dashboard/ErrorBannerView.h"
#include "dashboard/HoverButton.h"
#include "dashboard/MetricCardView.h"
#include "dashboard/PerformanceMetricsStrip.h"
#include "dashboard/SmartInfoSheet.h"
#include "dashboard/SymbolIcon.h"
#include "dashboard/VolumeControlPanel.h"
#include "dashboard/QtTestApplication.h"
#include "support/LanguageGuard.h"

#include <QFontMetricsF>
#include <QImage>
#include <QPainter>
#include <QScrollArea>
#include <QScrollBar>
#include <QWheelEvent>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

#include <set>

using namespace tallowin;
using tallowin::testing::detail;
using tallowin::testing::LanguageGuard;

namespace {

const auto* const qtEnvironment = ::testing::AddGlobalTestEnvironment(new tallowin::testing::QtApplicationEnvironment);

}

TEST(HoverButton, HoverAndPressChangeFillOutlineAndScale)
{
    HoverButton button({ DashboardStyle::color(AccentColor::green), InteractiveButtonStyle::StyleSize::compact });
    button.setText("Start");
    button.resize(button.sizeHint());
    button.show();
    const double idleFill = button.currentFillOpacity();
    const double idleOutline = button.currentOutlineOpacity();
    QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), QPointF(5, 5));
    QApplication::sendEvent(&button, &enter);
    const double hoverFill = button.currentFillOpacity();
    EXPECT_GT(hoverFill, idleFill);
    EXPECT_GT(button.currentOutlineOpacity(), idleOutline);

    QSignalSpy clicked(&button, &QAbstractButton::clicked);
    QTest::mousePress(&button, Qt::LeftButton);
    EXPECT_GT(button.currentFillOpacity(), hoverFill);
    EXPECT_LT(button.currentScale(), 1.0);
    QTest::mouseRelease(&button, Qt::LeftButton);
    EXPECT_EQ(clicked.count(), 1);
    EXPECT_DOUBLE_EQ(button.currentScale(), 1.0);
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(&button, &leave);
    EXPECT_FALSE(button.isHovering());
    EXPECT_DOUBLE_EQ(button.currentFillOpacity(), idleFill);

    // Disabled: presses do nothing.
    button.setEnabled(false);
    QTest::mouseClick(&button, Qt::LeftButton);
    EXPECT_EQ(clicked.count(), 1);
    // Compact is smaller than regular for the same title.
    HoverButton regular({ QColor(Qt::red), InteractiveButtonStyle::StyleSize::regular });
    regular.setText("Start");
    EXPECT_GT(regular.sizeHint().height(), button.sizeHint().height());
}

TEST(ErrorBanner, LongMessagesWrapWithinTheRowLimit)
{
    ErrorBannerView shortBanner("Saved.", BannerStyle::success);
    ErrorBannerView longBanner(QString("Automatic performance report export failed:\n") + QString("word ").repeated(60),
        BannerStyle::error);
    ErrorBannerView unbroken(QString("x").repeated(400), BannerStyle::error);
    for (auto* banner : { &shortBanner, &longBanner, &unbroken })
        EXPECT_LE(banner->rowSize().width(), ErrorBannerView::maximumRowWidth);
    EXPECT_LT(shortBanner.rowSize().width(), ErrorBannerView::maximumRowWidth);
    EXPECT_GT(longBanner.rowSize().height(), 4 * QFontMetricsF(longBanner.font()).height());
    EXPECT_GT(unbroken.rowSize().height(), 4 * QFontMetricsF(unbroken.font()).height());
    // Padding 16 and 14 around the row.
    EXPECT_EQ(longBanner.bannerSize(), longBanner.rowSize() + QSize(32, 28));
}

TEST(ErrorBubbleStack, OrderInsetsLimitAndStableBanners)
{
    auto frames = ErrorBubbleStack::frames({ QSize(200, 60), QSize(150, 40), QSize(256, 80) });
    ASSERT_EQ(frames.size(), 3u);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(frames[static_cast<std::size_t>(i)].right() + 1, -4 * i) << i;
    EXPECT_EQ(frames[0].top(), -(60 + 40 + 80 + 2 * 12));
    EXPECT_EQ(frames[1].top(), frames[0].bottom() + 1 + 12);
    EXPECT_EQ(frames[2].bottom() + 1, 0);

    QWidget window;
    window.resize(800, 600);
    auto* stack = new ErrorBubbleStack(&window);
    stack->setAnchor(QPoint(768, 568));
    stack->setMessages({ { Uuid::random(), "Monitor failed", BannerStyle::error },
        { Uuid::random(), "Test failed", BannerStyle::error }, { Uuid::random(), "Report saved", BannerStyle::success },
        { Uuid::random(), "One too many", BannerStyle::error } });
    stack->finishAnimations();
    auto banners = stack->banners();
    ASSERT_EQ(banners.size(), 3u);
    EXPECT_EQ(banners[0]->message(), "Monitor failed");
    EXPECT_EQ(banners[2]->style(), BannerStyle::success);
    EXPECT_FALSE(stack->isHidden());

    // The same messages with fresh identities keep the banners; a cleared one goes.
    stack->setMessages({ { Uuid::random(), "Monitor failed", BannerStyle::error },
        { Uuid::random(), "Report saved", BannerStyle::success } });
    stack->finishAnimations();
    auto kept = stack->banners();
    ASSERT_EQ(kept.size(), 2u);
    EXPECT_EQ(kept[0], banners[0]);
    EXPECT_EQ(kept[1], banners[2]);
    // Placed bottom-right: the last banner's bottom edge and the first one's right edge on the anchor.
    auto margins = ErrorBannerView::shadowMargins();
    auto frameOf = [&](ErrorBannerView* banner) {
        return QRect(stack->mapToParent(banner->geometry().topLeft()) + QPoint(margins.left(), margins.top()),
            banner->bannerSize());
    };
    EXPECT_EQ(frameOf(kept[0]).right() + 1, 768);
    EXPECT_EQ(frameOf(kept[1]).right() + 1, 768 - 4);
    EXPECT_EQ(frameOf(kept[1]).bottom() + 1, 568);

    stack->setMessages({});
    stack->finishAnimations();
    EXPECT_TRUE(stack->banners().empty());
    EXPECT_TRUE(stack->isHidden());
}

TEST(MetricCardView, ValueShrinksToFitButNotBelowItsLimit)
{
    MetricCardView card({ Uuid::random(), "Read Speed", "arrow.down.circle.fill", "0 B/s", AccentColor::green, "f" });
    EXPECT_EQ(card.valueFontPixelSize(), MetricCardView::valuePixelSize);
    card.setContent({ Uuid::random(), "Total Read", "externaldrive.fill", "9,223,372.04 TB+", AccentColor::blue, "f" });
    EXPECT_LT(card.valueFontPixelSize(), MetricCardView::valuePixelSize);
    EXPECT_GE(card.valueFontPixelSize(), MetricCardView::valuePixelSize * MetricCardView::minimumValueScale);
    EXPECT_EQ(card.size(), QSize(MetricCardView::cardWidth, 108));

    MetricsDashboardSection section;
    std::vector<MetricCardContent> cards(8, MetricCardContent {});
    section.setCards(cards);
    auto* firstView = section.cardViews().front();
    cards.pop_back();
    section.setCards(cards);
    EXPECT_EQ(section.cardViews().size(), 7u);
    EXPECT_EQ(section.cardViews().front(), firstView); // updated in place, not rebuilt
}

TEST(SymbolIcon, EveryIconThePanelsUseHasAGlyphInTheBundledFont)
{
    std::set<std::string> used { "checkmark.circle.fill", "exclamationmark.triangle.fill", "thermometer" };
    std::optional<DiskVolumeDescriptor> none;
    for (const auto& card : metricCards({ {}, 1000, 0, 0, 0, &none }))
        used.insert(card.iconSystemName);
    VolumeControlPanelModel model;
    for (const auto& chip : infoChips(model))
        used.insert(chip.icon);
    for (int state = 0; state < 5; ++state) {
        model.isMonitoring = state & 1;
        model.isPerformanceRunning = state & 2;
        if (state == 4)
            model.lastPerformanceResult = DiskPerformanceTester::Result {};
        auto buttons = panelButtons(model);
        for (const auto& button : { buttons.chooseVolume, buttons.monitoring, buttons.smart, buttons.exportChart, buttons.test })
            used.insert(button.iconSystemName);
    }
    PerformanceStripInputs strip;
    for (int state = 0; state < 3; ++state) {
        if (state == 1)
            strip.lastResult = DiskPerformanceTester::Result {};
        strip.isRunning = state == 2;
        for (const auto& item : performanceStripItems(strip))
            used.insert(item.icon);
    }

    QFontMetricsF metrics(SymbolIcon::font(24));
    EXPECT_EQ(QFontInfo(SymbolIcon::font(24)).family(), SymbolIcon::font(24).family());
    for (const auto& name : used) {
        auto code = SymbolIcon::codePoint(name);
        ASSERT_TRUE(code) << name;
        EXPECT_TRUE(metrics.inFontUcs4(*code)) << name;
    }
    EXPECT_FALSE(SymbolIcon::codePoint("no.such.symbol"));

    // And it draws something: a glyph leaves paint on a transparent image.
    QImage image(32, 32, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    {
        QPainter painter(&image);
        SymbolIcon::paint(painter, QRectF(0, 0, 32, 32), "thermometer", Qt::white, 24);
    }
    int painted = 0;
    for (int y = 0; y < 32; ++y)
        for (int x = 0; x < 32; ++x)
            painted += qAlpha(image.pixel(x, y)) > 0;
    EXPECT_GT(painted, 20);
}

TEST(SmartInfoSheet, EmptyReportShowsTheNoteAndNoRows)
{
    LanguageGuard english("en");
    // An empty status is no status.
    SmartInfoSheet sheet("Data", DiskSMARTInfo { "", std::nullopt, {}, {} });
    EXPECT_EQ(sheet.titleText(), "SMART Details for Data");
    EXPECT_TRUE(sheet.summaryTexts().empty());
    EXPECT_EQ(sheet.emptyDetailsText(), "The system did not expose additional SMART attributes.");
    EXPECT_EQ(sheet.detailsArea(), nullptr);
    EXPECT_GE(sheet.width(), SmartInfoSheet::minimumSheetWidth);
    EXPECT_LE(sheet.width(), SmartInfoSheet::maximumSheetWidth);
}

TEST(SmartInfoSheet, RowsCardsAndTheScrollLimit)
{
    LanguageGuard chinese("zh_CN");
    DiskSMARTInfo info;
    info.isCapable = false;
    info.details = { detail("smart_status.passed", "smart_status.passed", "true"), detail("temperature.current", "温度", "41") };
    for (int i = 0; i < 60; ++i)
        info.details.push_back(detail("ata_smart_attributes.table[" + std::to_string(i) + "].raw.value", "属性", "0"));
    SmartInfoSheet sheet("数据", info);
    sheet.show();
    EXPECT_EQ(sheet.titleText(), "数据 的 SMART 信息");
    EXPECT_EQ(sheet.summaryTexts(), (std::vector { std::make_pair(QString("是否支持 SMART"), QString("不支持")) }));
    auto cards = sheet.detailCardTexts();
    ASSERT_EQ(cards.size(), 62u);
    // A key path equal to the name is not repeated.
    EXPECT_EQ(cards[0], (std::vector<QString> { "smart_status.passed", "true" }));
    EXPECT_EQ(cards[1], (std::vector<QString> { "温度", "temperature.current", "41" }));
    ASSERT_NE(sheet.detailsArea(), nullptr);
    EXPECT_LE(sheet.detailsArea()->height(), SmartInfoSheet::maximumDetailsHeight);
    EXPECT_GT(sheet.detailsArea()->widget()->height(), SmartInfoSheet::maximumDetailsHeight);
    EXPECT_TRUE(sheet.emptyDetailsText().isEmpty());
    // The sheet does not grow with the report.
    EXPECT_LT(sheet.height(), 760);

    QSignalSpy finished(&sheet, &QDialog::finished);
    auto buttons = sheet.findChildren<QAbstractButton*>();
    ASSERT_EQ(buttons.size(), 1);
    EXPECT_EQ(buttons[0]->text(), "好");
    buttons[0]->click();
    EXPECT_EQ(finished.count(), 1);
}

TEST(VolumeControlPanel, ButtonsCallTheirActionsAndTheTestButtonSwitches)
{
    LanguageGuard english("en");
    std::vector<std::string> calls;
    auto record = [&](const char* name) { return [&calls, name] { calls.push_back(name); }; };
    VolumeControlPanel panel({ record("select"), record("toggle"), record("export"), record("smart"), record("run"),
        record("stop") });
    panel.setModel(volumeControlPanelModel({}));
    panel.resize(960, 108);
    panel.show();
    EXPECT_EQ(panel.titleText(), "No volume selected");
    EXPECT_FALSE(panel.monitoringButton()->isEnabled());
    panel.chooseVolumeButton()->click();
    panel.monitoringButton()->click(); // disabled: nothing

    VolumeControlPanelModel model;
    model.selectedVolumeName = "Data";
    model.isVolumeSelected = true;
    model.isPerformanceTestAvailable = true;
    model.exportEnabled = true;
    model.smartInfo = DiskSMARTInfo {};
    panel.setModel(model);
    for (auto* button : { panel.monitoringButton(), panel.smartButton(), panel.exportButton(), panel.testButton() })
        button->click();
    model.isPerformanceRunning = true;
    panel.setModel(model);
    EXPECT_EQ(panel.testButton()->text(), "Stop");
    panel.testButton()->click();
    EXPECT_EQ(calls, (std::vector<std::string> { "select", "toggle", "smart", "export", "run", "stop" }));
}

TEST(PerformanceMetricsStrip, ARowTooWideScrollsSidewaysWithThePlainWheel)
{
    PerformanceMetricsStrip strip;
    PerformanceStripInputs inputs;
    inputs.lastResult = DiskPerformanceTester::Result {};
    strip.setInputs(inputs);
    // Eight results do not fit 600 points.
    strip.resize(600, 64);
    strip.show();
    QApplication::processEvents();
    auto* area = strip.findChild<QScrollArea*>();
    ASSERT_NE(area, nullptr);
    auto* bar = area->horizontalScrollBar();
    ASSERT_GT(bar->maximum(), 0);
    QPointF at(100, 30);
    QWheelEvent wheel(at, area->viewport()->mapToGlobal(at), QPoint(), QPoint(0, -120), Qt::NoButton, Qt::NoModifier,
        Qt::NoScrollPhase, false);
    QApplication::sendEvent(area->viewport(), &wheel);
    EXPECT_GT(bar->value(), 0);
}
