#pragma once

// What the dashboard shows, computed without Qt: the metric cards, the bubbles, the volume
// panel's texts and button states, the test strip's items and the SMART sheet's rows. The
// widgets only draw these values, so every text and state is tested here directly.

#include "benchmark/BenchmarkTypes.h"
#include "benchmark/DiskPerformanceTester.h"
#include "core/Language.h"
#include "core/Records.h"
#include "core/Uuid.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tallowin {

// The named colours of the dashboard; the widgets map them to the dark palette.
enum class AccentColor {
    systemAccent,
    green,
    orange,
    mint,
    purple,
    blue,
    pink,
    teal,
    red,
    indigo,
};

// ---- Metric cards ----

struct MetricCardContent {
    Uuid id { Uuid::random() };
    std::string title;
    std::string iconSystemName;
    std::string valueText;
    AccentColor accentColor { AccentColor::green };
    std::string footer;

    friend bool operator==(const MetricCardContent&, const MetricCardContent&) = default;
};

struct RecentRates {
    double read { 0 };
    double write { 0 };
    friend bool operator==(const RecentRates&, const RecentRates&) = default;
};

// Bytes per second over about the last second: the newest samples, walked backwards until the
// summed sample time reaches one second. `samples` is oldest first; the walk never needs more
// than the newest 1000.
RecentRates recentByteRates(std::span<const DiskSample> samples, int sampleIntervalMs);
// Operations per second over the newest round(1 / interval) samples.
RecentRates recentOperationRates(std::span<const DiskSample> samples, int sampleIntervalMs);

// The newest samples the cards can look at: the byte walk stops after 1000 at 1 ms.
inline constexpr std::size_t metricCardSampleWindow = 1000;

std::string rateText(double bytesPerSecond);
std::string operationsText(double operationsPerSecond);
std::string totalText(std::uint64_t bytes);
// The controller temperature from the volume's SMART report, or nothing (no card then).
std::optional<std::string> temperatureText(const std::optional<DiskVolumeDescriptor>&);

struct MetricCardInputs {
    std::span<const DiskSample> newestSamples; // oldest first
    int sampleIntervalMs { 1000 };
    std::uint64_t totalReadBytes { 0 };
    std::uint64_t totalWriteBytes { 0 };
    double monitoringDuration { 0 };
    const std::optional<DiskVolumeDescriptor>* selectedVolume { nullptr };
};
std::vector<MetricCardContent> metricCards(const MetricCardInputs&);

// ---- Bubbles ----

enum class BannerStyle {
    error,
    success,
};

struct BubblePayload {
    Uuid id { Uuid::random() };
    std::string message;
    BannerStyle style { BannerStyle::error };

    // The identity only keys the animation; two bubbles saying the same thing are the same bubble.
    friend bool operator==(const BubblePayload& a, const BubblePayload& b)
    {
        return a.message == b.message && a.style == b.style;
    }
};

std::vector<BubblePayload> bubblePayloads(const std::optional<std::string>& monitorError,
    const std::optional<std::string>& testerError, const std::optional<std::string>& automaticReportMessage);

// ---- Volume control panel ----

struct PerformancePayloadContext {
    std::string description;
    std::optional<DiskPerformanceTester::EffectivePayload> preview;
    bool isAvailable { false };
    std::optional<std::string> warning;
    friend bool operator==(const PerformancePayloadContext&, const PerformancePayloadContext&) = default;
};

// `effectivePayload` is the tester's answer for the selected volume (ignored without one).
PerformancePayloadContext performancePayloadContext(bool isVolumeSelected,
    const DiskPerformanceTester::DataSize&, const std::optional<DiskPerformanceTester::EffectivePayload>& effectivePayload);

// A byte count in MB, GB or TB, or "Unknown" for an absent or zero count.
std::string capacityText(const std::optional<std::uint64_t>& bytes);

// Everything the panel shows, in the panel's own terms.
struct VolumeControlPanelModel {
    std::string selectedVolumeName;
    std::optional<std::string> bsdName;
    std::string connectionTypeDescription;
    std::optional<std::string> connectionSpeedDescription;
    std::string fileSystemDescription;
    std::string totalCapacityDescription;
    std::optional<std::uint64_t> totalCapacityBytes;
    std::string availableCapacityDescription;
    std::optional<std::uint64_t> availableCapacityBytes;
    std::string hardwareVendorDescription;
    std::string hardwareModelDescription;
    std::optional<DiskSMARTInfo> smartInfo;
    bool isVolumeSelected { false };
    bool isMonitoring { false };
    bool exportEnabled { false };
    bool isPerformanceRunning { false };
    std::optional<ProgressState> performanceProgressState;
    std::string performancePayloadDescription;
    DiskPerformanceTester::DataSize performanceSelection;
    std::optional<DiskPerformanceTester::EffectivePayload> performancePayloadPreview;
    std::optional<DiskPerformanceTester::Result> lastPerformanceResult;
    bool isPerformanceTestAvailable { false };
    std::optional<std::string> performanceWarningMessage;

    friend bool operator==(const VolumeControlPanelModel&, const VolumeControlPanelModel&) = default;
};

struct VolumeControlPanelSources {
    const std::optional<DiskVolumeDescriptor>* selectedVolume { nullptr };
    bool isMonitoring { false };
    std::size_t sampleCount { 0 };
    bool isPerformanceRunning { false };
    const std::optional<ProgressState>* progressState { nullptr };
    DiskPerformanceTester::DataSize dataSize;
    const std::optional<DiskPerformanceTester::Result>* lastResult { nullptr };
    PerformancePayloadContext payloadContext;
};
VolumeControlPanelModel volumeControlPanelModel(const VolumeControlPanelSources&);

std::string panelTitle(const VolumeControlPanelModel&);
std::string capacityLine(const VolumeControlPanelModel&);

struct InfoItem {
    Uuid id { Uuid::random() };
    std::string icon;
    std::string value;
    friend bool operator==(const InfoItem&, const InfoItem&) = default;
};
// A chip's value as shown: trimmed, and "Unknown" for anything that says it is not known.
std::string cleanedChipValue(std::string_view);
// The model name from the SMART report, when it carries a usable one.
std::optional<std::string> smartModelName(const std::optional<DiskSMARTInfo>&);
std::vector<InfoItem> infoChips(const VolumeControlPanelModel&);

struct PanelButtonContent {
    std::string title;
    std::string iconSystemName;
    AccentColor accentColor { AccentColor::systemAccent };
    bool isEnabled { false };
    std::string toolTip;
    friend bool operator==(const PanelButtonContent&, const PanelButtonContent&) = default;
};
struct PanelButtons {
    PanelButtonContent chooseVolume;
    PanelButtonContent monitoring;
    PanelButtonContent smart;
    PanelButtonContent exportChart;
    PanelButtonContent test;
    // Whether the test button stops a running test rather than starting one.
    bool testButtonStops { false };
    friend bool operator==(const PanelButtons&, const PanelButtons&) = default;
};
PanelButtons panelButtons(const VolumeControlPanelModel&);

// ---- Performance strip ----

enum class MetricItemStyle {
    highlight,
    normal,
    placeholder,
};

struct MetricItem {
    Uuid id { Uuid::random() };
    std::string icon;
    std::string title;
    std::string value;
    MetricItemStyle style { MetricItemStyle::normal };
    friend bool operator==(const MetricItem&, const MetricItem&) = default;
};

struct PerformanceStripInputs {
    bool isRunning { false };
    std::optional<ProgressState> progressState;
    std::string payloadDescription;
    DiskPerformanceTester::DataSize payloadSelection;
    std::optional<DiskPerformanceTester::EffectivePayload> payloadPreview;
    std::optional<DiskPerformanceTester::Result> lastResult;
    friend bool operator==(const PerformanceStripInputs&, const PerformanceStripInputs&) = default;
};

std::string phaseName(BenchmarkPhase);
std::string throughputText(double bytesPerSecond);
std::string iopsText(double operationsPerSecond);
std::string stripPayloadText(const PerformanceStripInputs&);
// "yyyy-MM-dd HH:mm:ss" in the current time zone.
std::string finishedAtText(WallClockTime);
std::vector<MetricItem> performanceStripItems(const PerformanceStripInputs&);
// The strip is shown while a test runs and after one has finished.
inline bool isPerformanceStripVisible(bool isRunning, bool hasResult)
{
    return isRunning || hasResult;
}

// ---- SMART sheet ----

struct SmartSheetPayload {
    Uuid id { Uuid::random() };
    std::string volumeName;
    DiskSMARTInfo info;
    friend bool operator==(const SmartSheetPayload&, const SmartSheetPayload&) = default;
};

struct SmartSummaryRow {
    std::string label;
    std::string value;
    friend bool operator==(const SmartSummaryRow&, const SmartSummaryRow&) = default;
};
std::vector<SmartSummaryRow> smartSummaryRows(const DiskSMARTInfo&);
// A card shows its key path only when it says more than the name.
inline bool showsKeyPath(const DiskSMARTInfo::Detail& detail)
{
    return detail.keyPath != detail.displayName;
}

// ---- Folder chooser ----

// Where the folder chooser opens: the user's removable-media folder (/media/$USER, then
// /run/media/$USER) when it exists, else /mnt, else the home folder.
std::string folderChooserStartDirectory(
    const EnvironmentLookup&, const std::function<bool(const std::string&)>& isDirectory);

// ---- Root ----

// Whether a change of the selected volume must stop a running test: its location changed,
// a missing volume counting as a location of its own.
bool selectedVolumeLocationChanged(
    const std::optional<std::string>& previousURL, const std::optional<DiskVolumeDescriptor>& current);

}
