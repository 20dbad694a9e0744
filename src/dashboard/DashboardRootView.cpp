#include "dashboard/DashboardRootView.h"

#include "charts/ChartExport.h"
#include "charts/ChartExportSupport.h"
#include "charts/ChartPngRenderer.h"
#include "core/Language.h"
#include "dashboard/DashboardStyle.h"
#include "dashboard/HorizontalScrollArea.h"
#include "dashboard/ErrorBannerView.h"
#include "dashboard/MetricCardView.h"
#include "dashboard/PerformanceMetricsStrip.h"
#include "dashboard/SmartInfoSheet.h"
#include "dashboard/VolumeControlPanel.h"
#include "smart/PrivilegedHelperManager.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGraphicsOpacityEffect>
#include <QMessageBox>
#include <QPushButton>
#include <QResizeEvent>
#include <QScrollArea>
#include <QScrollBar>
#include <QTimer>
#include <QVBoxLayout>
#include <QVariantAnimation>

#include <pthread.h>

namespace tallowin {

namespace {

QString qt(const std::string& text)
{
    return QString::fromStdString(text);
}

}

DashboardRootView::DashboardRootView(Dependencies dependencies, QWidget* parent)
    : QWidget(parent)
    , m_dependencies(std::move(dependencies))
{
    // A missing model object is a programming error, not a state the window can show.
    if (!m_dependencies.monitor || !m_dependencies.performanceTester || !m_dependencies.mainQueue)
        qFatal("DashboardRootView needs a monitor, a performance tester and a main queue");

    setMinimumSize(minimumWindowWidth, minimumWindowHeight);
    setAutoFillBackground(true);
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, DashboardStyle::windowBackground());
    setPalette(palette);

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(outerPadding, outerPadding, outerPadding, outerPadding);
    column->setSpacing(bandSpacing);

    m_panel = new VolumeControlPanel(
        {
            [this] { chooseVolume(); },
            [this] { toggleMonitoring(); },
            [this] { exportChart(); },
            [this] { showSMARTInfo(); },
            [this] { runPerformanceTest(); },
            [this] { stopPerformanceTest(); },
        },
        this);
    column->addWidget(m_panel);

    m_strip = new PerformanceMetricsStrip(this);
    m_strip->hide();
    column->addWidget(m_strip);

    m_metricsArea = new HorizontalScrollArea(this);
    m_metricsArea->setFrameShape(QFrame::NoFrame);
    m_metricsArea->setWidgetResizable(false);
    m_metricsArea->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_metricsArea->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    m_metricsArea->setStyleSheet(QStringLiteral(
        "QScrollArea, QScrollArea > QWidget, QScrollArea > QWidget > QWidget { background: transparent; }"
        "QScrollBar:horizontal { height: 8px; background: transparent; margin: 0; }"
        "QScrollBar::handle:horizontal { background: rgba(255, 255, 255, 0.22); border-radius: 4px; min-width: 40px; }"
        "QScrollBar::add-line:horizontal, QScrollBar::sub-line:horizontal { width: 0; }"
        "QScrollBar::add-page:horizontal, QScrollBar::sub-page:horizontal { background: transparent; }"));
    m_metrics = new MetricsDashboardSection;
    m_metricsArea->setWidget(m_metrics);
    // The cards' 108 and room under them for the scroll indicator.
    m_metricsArea->setFixedHeight(cardsRowHeight + 12);
    m_metricsArea->viewport()->setAutoFillBackground(false);
    m_metrics->setAutoFillBackground(false);
    column->addWidget(m_metricsArea);

    m_chart = new DiskIOChartSection(DashboardStyle::font(16, QFont::Medium), m_chartViewport, m_dependencies.mainQueue, this);
    m_chart->setOnChartSizeChange([this](QSizeF size) {
        if (size.width() == 0 && size.height() == 0)
            return;
        m_chartSize = size;
    });
    column->addWidget(m_chart, 1);

    m_bubbles = new ErrorBubbleStack(this);

    if (const auto& volume = m_dependencies.monitor->selectedVolume())
        m_lastVolumeURL = volume->url;
    observeModels();
    rebuildAll();
}

DashboardRootView::~DashboardRootView()
{
    if (m_chartExportQueue) {
        m_chartExportQueue->sync([] {});
        m_chartExportQueue.reset();
    }
    // No notification, observer or change may reach a view that is going away.
    m_approvalRegistration.reset();
    for (auto id : m_observerIDs)
        m_dependencies.monitor->removeObserver(id);
    m_dependencies.performanceTester->setChangeHandler({});
}

void DashboardRootView::observeModels()
{
    auto& monitor = *m_dependencies.monitor;
    m_observerIDs.push_back(monitor.addObserver([this](DiskIOMonitor::Property property) { onMonitorProperty(property); }));
    m_observerIDs.push_back(monitor.addBatchObserver([this](std::span<const DiskSample>) { onBatch(); }));
    m_dependencies.performanceTester->setChangeHandler([this] { onTesterChange(); });

    auto* center = m_dependencies.notificationCenter ? m_dependencies.notificationCenter : &NotificationCenter::defaultCenter();
    // Posted from whichever thread found that approval is needed; the alert is shown on this
    // view's thread. The registration ends before the view does, so `this` is alive here.
    m_approvalRegistration = center->addObserver(std::string(privilegedHelperRequiresApprovalNotification), [this] {
        QMetaObject::invokeMethod(this, [this] { showApprovalAlert(); }, Qt::QueuedConnection);
    });
}

void DashboardRootView::onMonitorProperty(DiskIOMonitor::Property property)
{
    using Property = DiskIOMonitor::Property;
    switch (property) {
    case Property::samples:
    case Property::currentReadBytes:
    case Property::currentWriteBytes:
    case Property::currentReadOperations:
    case Property::currentWriteOperations:
    case Property::totalReadBytes:
    case Property::totalWriteBytes:
    case Property::monitoringDuration:
        // The batch that follows applies these at once; a change outside a batch (a new run's
        // reset) is picked up by the deferred update.
        m_liveFiguresDirty = true;
        break;
    case Property::selectedVolume:
        checkSelectedVolumeLocation();
        m_rebuildNeeded = true;
        break;
    case Property::isMonitoring:
    case Property::monitoringStartDate:
    case Property::errorMessage:
    case Property::samplingPrecision:
        m_rebuildNeeded = true;
        break;
    }
    scheduleRebuild();
}

void DashboardRootView::onBatch()
{
    // Per batch, at most a thousand samples are read and only what moves is redrawn.
    rebuildLiveFigures();
    bool exportEnabled = m_dependencies.monitor->sampleCount() > 1;
    if (exportEnabled != m_exportEnabled)
        rebuildPanel();
}

void DashboardRootView::onTesterChange()
{
    m_rebuildNeeded = true;
    scheduleRebuild();
    emit performanceTesterChanged();
}

void DashboardRootView::checkSelectedVolumeLocation()
{
    const auto& volume = m_dependencies.monitor->selectedVolume();
    if (!selectedVolumeLocationChanged(m_lastVolumeURL, volume))
        return;
    m_lastVolumeURL = volume ? std::optional<std::string>(volume->url) : std::nullopt;
    // A running test must not go on against a volume the user has left.
    m_dependencies.performanceTester->stopTest();
}

void DashboardRootView::scheduleRebuild()
{
    // Changes arrive one property at a time; they are applied together on the next turn of the
    // event loop.
    if (m_rebuildScheduled)
        return;
    m_rebuildScheduled = true;
    QTimer::singleShot(0, this, [this] {
        m_rebuildScheduled = false;
        if (m_rebuildNeeded)
            rebuildAll();
        else if (m_liveFiguresDirty)
            rebuildLiveFigures();
    });
}

void DashboardRootView::rebuildNow()
{
    rebuildAll();
}

void DashboardRootView::rebuildAll()
{
    m_rebuildNeeded = false;
    rebuildPanel();
    rebuildStrip();
    rebuildLiveFigures();
    rebuildBubbles();
}

int DashboardRootView::sampleIntervalMs() const
{
    return m_dependencies.monitor->samplingPrecision().rawValue();
}

void DashboardRootView::rebuildPanel()
{
    const auto& monitor = *m_dependencies.monitor;
    const auto& tester = *m_dependencies.performanceTester;
    const auto& volume = monitor.selectedVolume();
    VolumeControlPanelSources sources;
    sources.selectedVolume = &volume;
    sources.isMonitoring = monitor.isMonitoring();
    sources.sampleCount = monitor.sampleCount();
    sources.isPerformanceRunning = tester.isRunning();
    sources.progressState = &tester.progressState();
    sources.dataSize = tester.dataSize();
    sources.lastResult = &tester.lastResult();
    sources.payloadContext = performancePayloadContext(
        volume.has_value(), tester.dataSize(), volume ? tester.effectivePayload(volume) : std::nullopt);
    m_exportEnabled = sources.sampleCount > 1;
    m_panel->setModel(volumeControlPanelModel(sources));
}

void DashboardRootView::rebuildStrip()
{
    const auto& tester = *m_dependencies.performanceTester;
    const auto& model = m_panel->model();
    bool visible = isPerformanceStripVisible(tester.isRunning(), tester.lastResult().has_value());
    if (visible) {
        m_strip->setInputs({ tester.isRunning(), tester.progressState(), model.performancePayloadDescription,
            tester.dataSize(), model.performancePayloadPreview, tester.lastResult() });
    }
    setPerformanceStripVisible(visible);
}

void DashboardRootView::setPerformanceStripVisible(bool visible)
{
    if (visible == m_isStripVisible)
        return;
    m_isStripVisible = visible;
    if (m_stripAnimation)
        m_stripAnimation->stop(); // deletes it
    // The strip slides open (its height grows) while it fades in, and closes the same way.
    auto* fade = new QGraphicsOpacityEffect(m_strip);
    m_strip->setGraphicsEffect(fade); // the strip owns the effect, and deletes the one before
    if (visible) {
        m_strip->setFixedHeight(0);
        m_strip->show();
    }
    auto* animation = new QVariantAnimation(this);
    animation->setStartValue(visible ? 0.0 : 1.0);
    animation->setEndValue(visible ? 1.0 : 0.0);
    animation->setDuration(250);
    animation->setEasingCurve(QEasingCurve::OutCubic);
    connect(animation, &QVariantAnimation::valueChanged, this, [this, fade](const QVariant& value) {
        double progress = value.toDouble();
        m_strip->setFixedHeight(qRound(PerformanceMetricsStrip::stripHeight * progress));
        fade->setOpacity(progress);
    });
    connect(animation, &QVariantAnimation::finished, this, [this] {
        m_strip->setGraphicsEffect(nullptr);
        m_strip->setFixedHeight(PerformanceMetricsStrip::stripHeight);
        m_strip->setVisible(m_isStripVisible);
    });
    m_stripAnimation = animation;
    animation->start(QAbstractAnimation::DeleteWhenStopped);
}

void DashboardRootView::finishAnimations()
{
    if (m_stripAnimation)
        m_stripAnimation->setCurrentTime(m_stripAnimation->duration());
    m_bubbles->finishAnimations();
}

bool DashboardRootView::isPerformanceStripShown() const
{
    return m_isStripVisible;
}

void DashboardRootView::rebuildLiveFigures()
{
    m_liveFiguresDirty = false;
    const auto& monitor = *m_dependencies.monitor;
    auto newest = monitor.newestSamples(metricCardSampleWindow);
    int interval = sampleIntervalMs();
    MetricCardInputs inputs;
    inputs.newestSamples = newest;
    inputs.sampleIntervalMs = interval;
    inputs.totalReadBytes = monitor.totalReadBytes();
    inputs.totalWriteBytes = monitor.totalWriteBytes();
    inputs.monitoringDuration = monitor.monitoringDuration();
    inputs.selectedVolume = &monitor.selectedVolume();
    m_metrics->setCards(metricCards(inputs));

    auto shown = static_cast<std::size_t>(DiskIOChartSection::totalSlotCount);
    if (newest.size() > shown)
        newest.erase(newest.begin(), newest.end() - static_cast<std::ptrdiff_t>(shown));
    m_chart->setSamples(std::move(newest), interval);
}

void DashboardRootView::rebuildBubbles()
{
    const auto& monitor = *m_dependencies.monitor;
    const auto& tester = *m_dependencies.performanceTester;
    m_bubbles->setMessages(bubblePayloads(monitor.errorMessage(), tester.errorMessage(), tester.automaticReportMessage()));
    positionBubbles();
}

void DashboardRootView::positionBubbles()
{
    m_bubbles->setAnchor(QPoint(width() - outerPadding, height() - outerPadding));
    m_bubbles->raise();
}

void DashboardRootView::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    positionBubbles();
}

void DashboardRootView::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (m_hasBeenShown)
        return;
    m_hasBeenShown = true;
    if (!m_dependencies.ensureHelperInstalled)
        return;
    // Registration may wait for the approval dialog or a helper that does not answer; the
    // window never waits for it.
    m_helperRegistrationThread = std::jthread([ensure = m_dependencies.ensureHelperInstalled] {
        pthread_setname_np(pthread_self(), "tallowin-helper");
        ensure();
    });
}

QString DashboardRootView::folderChooserTitle()
{
    return qt(localized("Choose volume to monitor", "选择需要监控的卷"));
}

QString DashboardRootView::folderChooserPrompt()
{
    return qt(localized("Choose", "选择卷"));
}

void DashboardRootView::chooseVolume()
{
    std::string start = folderChooserStartDirectory(processEnvironment,
        [](const std::string& path) { return QFileInfo(QString::fromStdString(path)).isDir(); });
    std::optional<std::string> chosen;
    if (m_dependencies.chooseFolder) {
        chosen = m_dependencies.chooseFolder(start);
    } else {
        QFileDialog dialog(this, folderChooserTitle(), qt(start));
        dialog.setFileMode(QFileDialog::Directory);
        dialog.setOption(QFileDialog::ShowDirsOnly);
        dialog.setLabelText(QFileDialog::Accept, folderChooserPrompt());
        if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty())
            chosen = dialog.selectedFiles().first().toStdString();
    }
    if (chosen && !chosen->empty())
        selectVolume(*chosen);
}

void DashboardRootView::selectVolume(const std::string& location)
{
    m_dependencies.performanceTester->stopTest();
    m_dependencies.monitor->selectVolume(location);
}

void DashboardRootView::toggleMonitoring()
{
    auto& monitor = *m_dependencies.monitor;
    if (monitor.isMonitoring())
        monitor.stopMonitoring();
    else
        monitor.startMonitoring();
}

void DashboardRootView::exportChart()
{
    auto& monitor = *m_dependencies.monitor;
    if (monitor.sampleCount() < 2)
        return;
    std::string proposed = ChartExportSupport::proposedCsvFileName(wallClockNow());
    std::optional<std::string> path;
    if (m_dependencies.chooseExportPath) {
        path = m_dependencies.chooseExportPath(proposed);
    } else {
        QFileDialog dialog(this, qt(localized("Export Chart", "导出图表")), QDir::home().filePath(qt(proposed)),
            QStringLiteral("CSV (*.csv)"));
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        dialog.setDefaultSuffix(QStringLiteral("csv"));
        dialog.selectFile(qt(proposed));
        if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty())
            path = dialog.selectedFiles().first().toStdString();
    }
    if (!path || path->empty())
        return;
    // The dialog ran the event loop: take the samples and the interval as they are now. The copy
    // is what gets exported; batches that arrive meanwhile belong to the next export.
    if (!m_chartExportQueue)
        m_chartExportQueue = std::make_unique<SerialQueue>(
            "com.tallowin.dashboard.chartExport", QualityOfService::UserInitiated);
    m_chartExportQueue->post([samples = monitor.samples(), interval = sampleIntervalMs(),
                                 csvPath = std::move(*path), mainQueue = m_dependencies.mainQueue,
                                 view = QPointer<DashboardRootView>(this)]() mutable {
        auto exported = exportChartData(samples, interval, csvPath, ChartExportSupport::renderPNG);
        // The pointer is only read on the main thread, where the view is destroyed.
        mainQueue->post([view = std::move(view), exported = std::move(exported)]() mutable {
            if (view)
                view->finishExport(std::move(exported));
        });
    });
}

void DashboardRootView::finishExport(Expected<ChartExportFiles, ChartExportFailure> exported)
{
    if (!exported) {
        if (exported.error().reason == ChartExportFailure::Reason::failed)
            m_dependencies.monitor->reportError(exported.error().message);
        return;
    }
    m_exportMessage = AlertMessage(chartExportSuccessMessage(exported.value()));
    showExportAlert();
}

void DashboardRootView::showExportAlert()
{
    if (!m_exportMessage)
        return;
    if (m_exportAlert)
        m_exportAlert->deleteLater();
    auto* alert = new QMessageBox(QMessageBox::Information, qt(localized("Export Finished", "导出完成")),
        qt(m_exportMessage->text), QMessageBox::NoButton, this);
    alert->setAttribute(Qt::WA_DeleteOnClose);
    alert->addButton(qt(localized("OK", "好")), QMessageBox::AcceptRole);
    connect(alert, &QDialog::finished, this, [this] { m_exportMessage.reset(); });
    m_exportAlert = alert;
    alert->open();
}

void DashboardRootView::showApprovalAlert()
{
    m_isHelperApprovalAlertVisible = true;
    if (m_approvalAlert)
        return;
    auto* alert = new QMessageBox(QMessageBox::Warning, qt(localized("Enable Permissions", "需要启用后台权限")),
        qt(localized("In System Settings → General → Login Items, allow “Tallowin.app”. After enabling these "
                     "permissions, please restart Tallowin to activate them.",
            "请在「系统设置 → 通用 → 登录项与扩展」中允许 “Tallowin.app”，完成授权后，请重新启动 Tallowin 以启用新的权限。")),
        QMessageBox::NoButton, this);
    alert->setAttribute(Qt::WA_DeleteOnClose);
    alert->addButton(qt(localized("Understood", "我已了解")), QMessageBox::AcceptRole);
    connect(alert, &QDialog::finished, this, [this] { m_isHelperApprovalAlertVisible = false; });
    m_approvalAlert = alert;
    alert->open();
}

void DashboardRootView::showSMARTInfo()
{
    const auto& volume = m_dependencies.monitor->selectedVolume();
    if (!volume || !volume->smartInfo)
        return;
    m_smartSheetPayload = SmartSheetPayload { Uuid::random(), volume->displayName, *volume->smartInfo };
    if (m_smartSheet)
        m_smartSheet->deleteLater();
    auto* sheet = new SmartInfoSheet(qt(m_smartSheetPayload->volumeName), m_smartSheetPayload->info, this);
    sheet->setAttribute(Qt::WA_DeleteOnClose);
    connect(sheet, &QDialog::finished, this, [this] { m_smartSheetPayload.reset(); });
    m_smartSheet = sheet;
    sheet->open();
}

void DashboardRootView::runPerformanceTest()
{
    m_dependencies.performanceTester->startTest(m_dependencies.monitor->selectedVolume());
}

void DashboardRootView::stopPerformanceTest()
{
    m_dependencies.performanceTester->stopTest();
}

}
