#include "charts/ChartExport.h"

#include "charts/ChartExportSupport.h"
#include "core/FileDescriptor.h"
#include "core/Messages.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fmt/format.h>
#include <unistd.h>

namespace tallowin {

namespace {

std::string systemError(const std::string& path, int error)
{
    return fmt::format("{}: {}", path, std::strerror(error));
}

}

Expected<void, std::string> writeWholeFile(const std::string& path, const void* data, std::size_t size)
{
    FileDescriptor file(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (!file)
        return Unexpected(systemError(path, errno));
    const auto* bytes = static_cast<const char*>(data);
    std::size_t written = 0;
    while (written < size) {
        ssize_t result = ::write(file.get(), bytes + written, size - written);
        if (result < 0) {
            if (errno == EINTR)
                continue;
            return Unexpected(systemError(path, errno));
        }
        written += static_cast<std::size_t>(result);
    }
    // A full disk may only show when the data reaches it; close reports it, so it is checked.
    if (::close(file.release()) != 0)
        return Unexpected(systemError(path, errno));
    return {};
}

Expected<ChartExportFiles, ChartExportFailure> exportChartData(const std::vector<DiskSample>& samples,
    int sampleIntervalMs, const std::string& csvPath, const ChartPngRendering& render)
{
    if (samples.size() < 2)
        return Unexpected(ChartExportFailure { ChartExportFailure::Reason::notEnoughSamples, {} });
    auto failed = [](const std::string& reason) {
        return Unexpected(ChartExportFailure { ChartExportFailure::Reason::failed, Messages::chartExportFailure(reason) });
    };
    ChartExportFiles files { csvPath, ChartExportSupport::pngPathFor(csvPath) };

    // The table is built as UTF-8 from the start (every field is ASCII), so no conversion step
    // can fail here.
    const std::string table = ChartExportSupport::csv(samples, sampleIntervalMs);
    auto picture = render(samples, sampleIntervalMs, chartExportWidth, chartExportHeight);
    if (!picture)
        return failed(localizedDescription(picture.error()));
    if (auto written = writeWholeFile(files.csvPath, table.data(), table.size()); !written)
        return failed(written.error());
    if (auto written = writeWholeFile(files.pngPath, picture->data(), picture->size()); !written)
        return failed(written.error());
    return files;
}

std::string chartExportSuccessMessage(const ChartExportFiles& files)
{
    return Messages::chartExportSuccess(files.csvPath, files.pngPath);
}

}
