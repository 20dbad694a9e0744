#include "core/Log.h"

#include <gtest/gtest.h>

using namespace tallowin;

namespace {

class ErrorSink final : public LogSink {
public:
    LogLevel threshold() const override { return LogLevel::Error; }
    void write(const LogRecord& record) override { written.push_back(record); }
    std::vector<LogRecord> written;
};

struct CountedArgument {
    int* formatted;
};

}

template<> struct fmt::formatter<CountedArgument> : fmt::formatter<int> {
    auto format(const CountedArgument& argument, format_context& context) const
    {
        ++*argument.formatted;
        return fmt::formatter<int>::format(*argument.formatted, context);
    }
};

TEST(Logger, LevelsBelowTheSinksThresholdAreNeverFormatted)
{
    auto sink = std::make_shared<ErrorSink>();
    auto previous = setLogSink(sink);
    int formatted = 0;
    Logger logger(std::string(applicationLogSubsystem), "DiskIOKitStatistics");
    logger.debug("{}", CountedArgument { &formatted });
    logger.info("{}", CountedArgument { &formatted });
    logger.error("failed {} at {} ms", CountedArgument { &formatted }, "vda");
    setLogSink(previous);
    EXPECT_EQ(formatted, 1);
    ASSERT_EQ(sink->written.size(), 1u);
    EXPECT_EQ(sink->written[0],
        (LogRecord { "Tallowin", "DiskIOKitStatistics", LogLevel::Error, "failed 1 at vda ms" }));
}
