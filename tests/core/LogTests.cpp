#include "core/Log.h"

#include <gtest/gtest.h>

using namespace tallowin;

namespace {

class CountingSink final : public LogSink {
public:
    LogLevel threshold() const override { return LogLevel::Error; }
    void write(const LogRecord& record) override { written.push_back(record); }
    std::vector<LogRecord> written;
};

struct ExpensiveArgument {
    int* formatted;
};

}

template<> struct fmt::formatter<ExpensiveArgument> : fmt::formatter<int> {
    auto format(const ExpensiveArgument& argument, format_context& context) const
    {
        ++*argument.formatted;
        return fmt::formatter<int>::format(0, context);
    }
};

TEST(Logger, RecordsCarrySubsystemCategoryAndLevel)
{
    ScopedTestLogSink sink;
    Logger logger(std::string(applicationLogSubsystem), "DiskIOMonitor");
    logger.info("Monitoring {} at {} ms", "vda", 1);
    logger.fault("broken");
    auto records = sink->records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(
        records[0], (LogRecord { "Tallowin", "DiskIOMonitor", LogLevel::Default, "Monitoring vda at 1 ms" }));
    EXPECT_EQ(records[1].level, LogLevel::Fault);
    EXPECT_TRUE(sink->contains(LogLevel::Fault, "broken"));
    EXPECT_EQ(sink->messages("Other").size(), 0u);
}

TEST(Logger, LevelsBelowTheSinksThresholdAreNeverFormatted)
{
    auto sink = std::make_shared<CountingSink>();
    auto previous = setLogSink(sink);
    int formatted = 0;
    Logger logger("Tallowin", "DiskIOKitStatistics");
    logger.debug("{}", ExpensiveArgument { &formatted });
    logger.info("{}", ExpensiveArgument { &formatted });
    logger.error("{}", ExpensiveArgument { &formatted });
    setLogSink(previous);
    EXPECT_EQ(formatted, 1);
    ASSERT_EQ(sink->written.size(), 1u);
    EXPECT_FALSE(logger.isEnabled(LogLevel::Debug) && currentLogSink() == sink);
}
