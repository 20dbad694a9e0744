#pragma once

#include "benchmark/DiskPerformanceTester.h"
#include "monitor/DiskIOMonitor.h"

#include <string>

namespace tallowin::AppTexts {

// Every text of the menu bar and the secondary windows, in the user's language at the time of
// the call.
std::string samplingPrecisionMenuTitle();
std::string samplingIntervalPickerLabel();
std::string samplingPrecisionLabel(DiskIOMonitor::SamplingPrecision);
std::string testSampleSizeMenuTitle();
std::string payloadPickerLabel();
std::string dataSizeLabel(const DiskPerformanceTester::DataSize&);
std::string applicationMenuTitle();
std::string aboutCommand();
std::string quitCommand();
std::string helpMenuTitle();
std::string feedbackCommand();
std::string closeWindowCommand();
std::string aboutWindowTitle();
std::string feedbackWindowTitle();
std::string mainWindowTitle();

}
