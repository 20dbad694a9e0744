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

// The command line's terminal shows log records only when asked; the journal gets them anyway.
TEST(CommandLineLogSink, RecordsReachTheTerminalOnlyWithVerboseOrDebug)
{
    struct Case {
        CommandLineLogging logging;
        LogLevel threshold;
        bool errorOnTerminal;
        bool debugOnTerminal;
    };
    for (const auto& [logging, threshold, errorOnTerminal, debugOnTerminal] : std::initializer_list<Case> {
             { { false, false, false }, LogLevel::Fault, false, false }, // no journal: quiet terminal
             { { true, false, false }, LogLevel::Default, true, false },
             { { false, true, false }, LogLevel::Debug, true, true },
             { { true, true, false }, LogLevel::Debug, true, true },
         }) {
        SCOPED_TRACE(::testing::Message() << "verbose " << logging.verbose << " debug " << logging.debug);
        auto sink = makeCommandLineLogSink("tallowin-test", logging);
        EXPECT_EQ(sink->threshold(), threshold);
        ::testing::internal::CaptureStderr();
        for (auto level : { LogLevel::Debug, LogLevel::Error, LogLevel::Fault }) {
            if (level >= sink->threshold())
                sink->write({ "Tallowin", "Test", level, "a record" });
        }
        auto terminal = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(terminal.find("[Tallowin:Test] error: a record") != std::string::npos, errorOnTerminal)
            << terminal;
        EXPECT_EQ(terminal.find("[Tallowin:Test] debug: a record") != std::string::npos, debugOnTerminal)
            << terminal;
        if (!errorOnTerminal) {
            EXPECT_EQ(terminal, "");
        }
    }
}

TEST(FanOutLogSink, EachSinkGetsTheLevelsItKeeps)
{
    auto errors = std::make_shared<ErrorSink>();
    auto everything = std::make_shared<TestLogSink>();
    auto sink = makeFanOutLogSink({ errors, everything });
    EXPECT_EQ(sink->threshold(), LogLevel::Debug);
    sink->write({ "Tallowin", "Test", LogLevel::Debug, "detail" });
    sink->write({ "Tallowin", "Test", LogLevel::Error, "failure" });
    ASSERT_EQ(errors->written.size(), 1u);
    EXPECT_EQ(errors->written[0].message, "failure");
    EXPECT_EQ(everything->messages(), (std::vector<std::string> { "detail", "failure" }));
}

TEST(BoundedLogMessage, LongOutputsAreCutAtACharacterBoundaryAndSayTheirLength)
{
    EXPECT_EQ(boundedLogMessage("short", 5), "short");
    EXPECT_EQ(boundedLogMessage("abcdef", 4), "abcd… [6 bytes in all]");
    // "温" is three bytes; a limit inside it keeps only whole characters before it.
    EXPECT_EQ(boundedLogMessage("ab温度", 3), "ab… [8 bytes in all]");
    EXPECT_EQ(boundedLogMessage("ab温度", 5), "ab温… [8 bytes in all]");
    EXPECT_EQ(boundedLogMessage(std::string(40000, 'x')).size(), 1024 + std::string("… [40000 bytes in all]").size());
}

// A whole smartctl output on every SMART refresh must not reach a desktop's journal or terminal,
// unless someone is debugging and asked for everything.
TEST(BoundedLogMessage, SinksKeepWholeMessagesOnlyWhenDebugging)
{
    const std::string output(30000, '{');
    const std::initializer_list<std::pair<bool, std::size_t>> cases {
        { false, boundedLogMessage(output).size() },
        { true, output.size() },
    };
    const std::size_t prefix = std::string("[Tallowin:Test] error: \n").size();
    for (auto [debug, expectedLength] : cases) {
        auto sink = makeCommandLineLogSink("tallowin-test", { true, debug, false });
        ::testing::internal::CaptureStderr();
        sink->write({ "Tallowin", "Test", LogLevel::Error, output });
        auto terminal = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(terminal.size(), prefix + expectedLength) << "debug " << debug;
    }
}
