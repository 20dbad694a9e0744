#pragma once

#include <fmt/format.h>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace tallowin {

enum class LogLevel {
    Debug,
    Default,
    Error,
    Fault,
};

struct LogRecord {
    std::string subsystem;
    std::string category;
    LogLevel level;
    std::string message;

    friend bool operator==(const LogRecord&, const LogRecord&) = default;
};

// Where log records go. Implementations must be thread-safe: every thread logs.
class LogSink {
public:
    virtual ~LogSink() = default;
    // The lowest level worth formatting; cheaper than building a message nobody keeps.
    virtual LogLevel threshold() const = 0;
    virtual void write(const LogRecord&) = 0;
};

// How much of a record's message a sink keeps unless it keeps debug records. Some records carry
// whole program outputs (smartctl's JSON, 25-40 KB, logged on every SMART refresh, once a
// second): kept whole they would put over 100 MB an hour into the persistent journal of a
// desktop that monitors a drive. 1 KiB keeps every fixed text and the start of such an output,
// about what the unified log of other systems keeps of one record.
inline constexpr std::size_t boundedLogMessageBytes = 1024;

// The message cut to at most `limit` bytes of its text, at a UTF-8 character boundary, followed
// by a note of its whole length; a message that fits is returned as it is.
std::string boundedLogMessage(std::string_view message, std::size_t limit = boundedLogMessageBytes);

// The two sinks below keep messages whole only when their threshold is Debug (someone is
// debugging); otherwise they keep boundedLogMessage of each.
//
// The systemd journal, with SYSLOG_IDENTIFIER, TALLOWIN_SUBSYSTEM and TALLOWIN_CATEGORY fields.
std::shared_ptr<LogSink> makeJournalLogSink(std::string syslogIdentifier, LogLevel threshold);
// One line per record on standard error, for machines without a journal.
std::shared_ptr<LogSink> makeStderrLogSink(LogLevel threshold);
// The journal when one is running, standard error otherwise. Debug records are kept only when
// TALLOWIN_DEBUG is set, since the statistics path logs on every read; on standard error only
// errors are shown unless TALLOWIN_DEBUG asks for more.
std::shared_ptr<LogSink> makeDefaultLogSink(std::string syslogIdentifier);

// Every record to each of the sinks that keeps its level; with no sinks, records go nowhere.
std::shared_ptr<LogSink> makeFanOutLogSink(std::vector<std::shared_ptr<LogSink>>);

// Where a command-line program's records go. Its terminal is for the command's own messages:
// records go to the journal when one is running, and to standard error only when asked for
// (--verbose, or TALLOWIN_DEBUG, which also keeps debug records).
struct CommandLineLogging {
    bool verbose { false };
    bool debug { false };
    bool journalRunning { false };
};
// The settings of this process: the given verbosity, TALLOWIN_DEBUG and the journal's socket.
CommandLineLogging commandLineLogging(bool verbose);
std::shared_ptr<LogSink> makeCommandLineLogSink(std::string syslogIdentifier, const CommandLineLogging&);

// Replaces the process-wide sink; returns the previous one. Until the first call, records go
// to the default sink for "tallowin".
std::shared_ptr<LogSink> setLogSink(std::shared_ptr<LogSink>);
std::shared_ptr<LogSink> currentLogSink();

// Keeps every record in memory, for tests.
class TestLogSink final : public LogSink {
public:
    LogLevel threshold() const override { return LogLevel::Debug; }
    void write(const LogRecord&) override;

    std::vector<LogRecord> records() const;
    std::vector<std::string> messages(std::string_view category = {}) const;
    bool contains(LogLevel, std::string_view message) const;
    void clear();

private:
    mutable std::mutex m_mutex;
    std::vector<LogRecord> m_records;
};

// Installs a TestLogSink for the lifetime of the guard and restores the previous sink after.
class ScopedTestLogSink {
public:
    ScopedTestLogSink();
    ~ScopedTestLogSink();
    ScopedTestLogSink(const ScopedTestLogSink&) = delete;
    ScopedTestLogSink& operator=(const ScopedTestLogSink&) = delete;
    TestLogSink& operator*() { return *m_sink; }
    TestLogSink* operator->() { return m_sink.get(); }

private:
    std::shared_ptr<TestLogSink> m_sink;
    std::shared_ptr<LogSink> m_previous;
};

// A named source of log records: a subsystem ("Tallowin", "com.tallowin.ProbeWarden") and a
// category per component. Messages are formatted only when the sink keeps their level.
class Logger {
public:
    Logger(std::string subsystem, std::string category)
        : m_subsystem(std::move(subsystem))
        , m_category(std::move(category))
    { }

    template<typename... Args> void debug(fmt::format_string<Args...> format, Args&&... args) const
    {
        log(LogLevel::Debug, format, std::forward<Args>(args)...);
    }
    template<typename... Args> void info(fmt::format_string<Args...> format, Args&&... args) const
    {
        log(LogLevel::Default, format, std::forward<Args>(args)...);
    }
    template<typename... Args> void error(fmt::format_string<Args...> format, Args&&... args) const
    {
        log(LogLevel::Error, format, std::forward<Args>(args)...);
    }
    template<typename... Args> void fault(fmt::format_string<Args...> format, Args&&... args) const
    {
        log(LogLevel::Fault, format, std::forward<Args>(args)...);
    }

    template<typename... Args>
    void log(LogLevel level, fmt::format_string<Args...> format, Args&&... args) const
    {
        auto sink = currentLogSink();
        if (!sink || level < sink->threshold())
            return;
        sink->write({ m_subsystem, m_category, level, fmt::format(format, std::forward<Args>(args)...) });
    }

    bool isEnabled(LogLevel level) const
    {
        auto sink = currentLogSink();
        return sink && level >= sink->threshold();
    }

    const std::string& subsystem() const { return m_subsystem; }
    const std::string& category() const { return m_category; }

private:
    std::string m_subsystem;
    std::string m_category;
};

// The application's log subsystem. (It has no bundle identifier on Linux.)
inline constexpr std::string_view applicationLogSubsystem = "Tallowin";

}
