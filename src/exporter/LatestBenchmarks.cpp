#include "exporter/LatestBenchmarks.h"

#include <map>
#include <sys/stat.h>

namespace tallowin {

LatestBenchmarks::LatestBenchmarks(std::string path)
    : m_path(std::move(path))
{ }

std::shared_ptr<const std::vector<BenchmarkRecord>> LatestBenchmarks::records() const
{
    struct stat status { };
    std::optional<FileStamp> stamp;
    if (::stat(m_path.c_str(), &status) == 0 && S_ISREG(status.st_mode))
        stamp = FileStamp { status.st_dev, status.st_ino, status.st_size,
            static_cast<long long>(status.st_mtim.tv_sec) * 1'000'000'000LL + status.st_mtim.tv_nsec };
    return m_cache.withLocked([&](Cache& cache) {
        if (cache.looked && cache.stamp == stamp)
            return cache.records;
        cache.looked = true;
        cache.stamp = stamp;
        if (!stamp) {
            cache.records = std::make_shared<const std::vector<BenchmarkRecord>>();
        } else {
            ++cache.loads;
            // Damaged lines are the history's own business (the GUI warns about them); the
            // exporter shows what it can read.
            cache.records = std::make_shared<const std::vector<BenchmarkRecord>>(
                newestPerDrive(loadHistory(m_path).records));
        }
        return cache.records;
    });
}

unsigned LatestBenchmarks::loads() const
{
    return m_cache.withLocked([](const Cache& cache) { return cache.loads; });
}

std::vector<BenchmarkRecord> newestPerDrive(const std::vector<BenchmarkRecord>& records)
{
    std::map<std::string, const BenchmarkRecord*> newest;
    for (const auto& record : records) {
        auto& slot = newest[record.device.key];
        if (!slot || record.finishedAt >= slot->finishedAt)
            slot = &record;
    }
    std::vector<BenchmarkRecord> result;
    result.reserve(newest.size());
    for (const auto& [key, record] : newest)
        result.push_back(*record);
    return result;
}

}
