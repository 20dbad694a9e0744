#pragma once

#include "volumes/LinkHealth.h"

#include <nlohmann/json.hpp>
#include <optional>

namespace tallowin {

// The numbers of a smartctl report that are worth a time series: health, temperature, age and
// the media and error counters of whichever protocol the drive speaks. A report carries only
// some of them (NVMe has no reallocated sectors, ATA no media-error count); the others stay
// unknown and have no series.
struct SmartFigures {
    std::optional<bool> passed;
    std::optional<double> temperatureCelsius;
    std::optional<double> powerOnHours;
    // NVMe health log.
    std::optional<double> mediaErrors;
    std::optional<double> errorLogEntries;
    // ATA attributes 5, 197, 198 and 199 (raw values).
    std::optional<double> reallocatedSectors;
    std::optional<double> pendingSectors;
    std::optional<double> offlineUncorrectableSectors;
    std::optional<double> interfaceCrcErrors;
    // SCSI.
    std::optional<double> grownDefects;
    std::optional<double> uncorrectedReadErrors;
    std::optional<double> uncorrectedWriteErrors;
    // The SATA link's negotiated and best speed, which only the drive knows; the link-health
    // check compares them.
    std::optional<SataInterfaceSpeed> interfaceSpeed;

    friend bool operator==(const SmartFigures&, const SmartFigures&) = default;
};

// The figures of one report (smartctl -j output). Values of the wrong type are left unknown.
SmartFigures smartFiguresFromReport(const nlohmann::json& root);

}
