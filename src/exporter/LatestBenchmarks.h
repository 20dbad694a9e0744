#pragma once

#include "benchmark/BenchmarkHistory.h"
#include "core/MutexProtected.h"

#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace tallowin {

// The newest benchmark of each drive in a history file, for the scrapes. The file is parsed
// again only when its identity, size or modification time changed since the last look, so a
// scrape every few seconds costs one stat() while nobody benchmarks; a rotation (a new file
// renamed over the old one) shows as a new inode.
class LatestBenchmarks {
public:
    explicit LatestBenchmarks(std::string path);

    // One record per drive (identity key), the one that finished last; in key order. Empty when
    // the file is missing or holds no readable line.
    std::shared_ptr<const std::vector<BenchmarkRecord>> records() const;
    // Times the file was parsed, for the tests of the cache.
    unsigned loads() const;

private:
    struct FileStamp {
        dev_t device { 0 };
        ino_t inode { 0 };
        off_t size { 0 };
        long long modifiedNanoseconds { 0 };
        friend bool operator==(const FileStamp&, const FileStamp&) = default;
    };
    struct Cache {
        // Nothing: not looked at yet, or missing at the last look.
        std::optional<FileStamp> stamp;
        bool looked { false };
        std::shared_ptr<const std::vector<BenchmarkRecord>> records
            = std::make_shared<const std::vector<BenchmarkRecord>>();
        unsigned loads { 0 };
    };

    std::string m_path;
    mutable MutexProtected<Cache> m_cache;
};

// The newest record of each identity key; among records that finished at the same time the
// later line wins, as it was appended last.
std::vector<BenchmarkRecord> newestPerDrive(const std::vector<BenchmarkRecord>&);

}
