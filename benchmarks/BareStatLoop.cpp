// Reads a block device's stat file once per millisecond for a while, the way the simplest
// possible sampler would (pread on a descriptor kept open, parse four fields), and reports its
// rate and CPU time. The floor against which tallowin-cli monitor --interval 1 is compared.
//
//   tallowin_bare_stat_loop [DEVICE] [SECONDS]     (defaults: vda 10)

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

double seconds(const timeval& value)
{
    return static_cast<double>(value.tv_sec) + static_cast<double>(value.tv_usec) / 1e6;
}

}

int main(int argc, char** argv)
{
    const char* device = argc > 1 ? argv[1] : "vda";
    double duration = argc > 2 ? std::atof(argv[2]) : 10.0;
    char path[256];
    std::snprintf(path, sizeof path, "/sys/class/block/%s/stat", device);
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        std::fprintf(stderr, "%s: %s\n", path, std::strerror(errno));
        return 1;
    }

    timespec start {};
    clock_gettime(CLOCK_MONOTONIC, &start);
    timespec deadline = start;
    std::uint64_t reads = 0;
    std::uint64_t checksum = 0;
    const auto total = static_cast<std::uint64_t>(duration * 1000);
    char buffer[512];
    for (; reads < total; ++reads) {
        ssize_t count = ::pread(fd, buffer, sizeof buffer - 1, 0);
        if (count <= 0)
            return 1;
        buffer[count] = '\0';
        std::uint64_t fields[7] = {};
        char* cursor = buffer;
        for (auto& field : fields)
            field = std::strtoull(cursor, &cursor, 10);
        checksum += fields[0] + fields[2] + fields[4] + fields[6];
        deadline.tv_nsec += 1000000;
        if (deadline.tv_nsec >= 1000000000) {
            deadline.tv_nsec -= 1000000000;
            ++deadline.tv_sec;
        }
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr);
    }
    timespec end {};
    clock_gettime(CLOCK_MONOTONIC, &end);
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    double elapsed = static_cast<double>(end.tv_sec - start.tv_sec)
        + static_cast<double>(end.tv_nsec - start.tv_nsec) / 1e9;
    std::printf("{\"reads\": %" PRIu64
                ", \"elapsed\": %.3f, \"readsPerSecond\": %.1f, \"userSeconds\": %.3f, "
                "\"systemSeconds\": %.3f, \"checksum\": %" PRIu64 "}\n",
        reads, elapsed, static_cast<double>(reads) / elapsed, seconds(usage.ru_utime),
        seconds(usage.ru_stime), checksum);
    ::close(fd);
    return 0;
}
