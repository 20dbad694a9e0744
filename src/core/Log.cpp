#include "core/Log.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

namespace tallowin {

namespace {

int syslogPriority(LogLevel level)
{
    switch (level) {
    case LogLevel::Debug:
        return 7;
    case LogLevel::Default:
        return 5;
    case LogLevel::Error:
        return 3;
    case LogLevel::Fault:
        return 2;
    }
    return 5;
}

const char* levelName(LogLevel level)
{
    switch (level) {
    case LogLevel::Debug:
        return "debug";
    case LogLevel::Default:
        return "default";
    case LogLevel::Error:
        return "error";
    case LogLevel::Fault:
        return "fault";
    }
    return "default";
}

// The text a sink writes: the message itself, or a bounded copy of it in `bounded` when it is too
// long to keep whole. Most records fit, and they are not copied.
const std::string& keptMessage(const std::string& message, LogLevel threshold, std::string& bounded)
{
    if (threshold == LogLevel::Debug || message.size() <= boundedLogMessageBytes)
        return message;
    bounded = boundedLogMessage(message);
    return bounded;
}

class JournalLogSink final : public LogSink {
public:
    JournalLogSink(std::string identifier, LogLevel threshold)
        : m_identifier(std::move(identifier))
        , m_threshold(threshold)
    { }
    LogLevel threshold() const override { return m_threshold; }
    void write(const LogRecord& record) override
    {
        std::string bounded;
        sd_journal_send("MESSAGE=%s", keptMessage(record.message, m_threshold, bounded).c_str(), "PRIORITY=%d", syslogPriority(record.level),
            "SYSLOG_IDENTIFIER=%s", m_identifier.c_str(), "TALLOWIN_SUBSYSTEM=%s", record.subsystem.c_str(),
            "TALLOWIN_CATEGORY=%s", record.category.c_str(), nullptr);
    }

private:
    std::string m_identifier;
    LogLevel m_threshold;
};

class StderrLogSink final : public LogSink {
public:
    explicit StderrLogSink(LogLevel threshold)
        : m_threshold(threshold)
    { }
    LogLevel threshold() const override { return m_threshold; }
    void write(const LogRecord& record) override
    {
        std::string bounded;
        auto line = fmt::format("[{}:{}] {}: {}\n", record.subsystem, record.category, levelName(record.level),
            keptMessage(record.message, m_threshold, bounded));
        std::lock_guard lock(m_mutex);
        std::fwrite(line.data(), 1, line.size(), stderr);
    }

private:
    std::mutex m_mutex;
    LogLevel m_threshold;
};

class FanOutLogSink final : public LogSink {
public:
    explicit FanOutLogSink(std::vector<std::shared_ptr<LogSink>> sinks)
        : m_sinks(std::move(sinks))
    {
        for (const auto& sink : m_sinks)
            m_threshold = std::min(m_threshold, sink->threshold());
    }
    LogLevel threshold() const override { return m_threshold; }
    void write(const LogRecord& record) override
    {
        for (const auto& sink : m_sinks) {
            if (record.level >= sink->threshold())
                sink->write(record);
        }
    }

private:
    std::vector<std::shared_ptr<LogSink>> m_sinks;
    // With no sinks nothing is kept; only faults are still formatted, and then dropped.
    LogLevel m_threshold { LogLevel::Fault };
};

bool debugRequested()
{
    const char* value = std::getenv("TALLOWIN_DEBUG");
    return value && *value && std::string_view(value) != "0";
}

bool journalIsRunning()
{
    struct stat status { };
    return ::stat("/run/systemd/journal/socket", &status) == 0 && S_ISSOCK(status.st_mode);
}

std::mutex sinkMutex;
std::shared_ptr<LogSink>& sinkSlot()
{
    static std::shared_ptr<LogSink> sink = makeDefaultLogSink("tallowin");
    return sink;
}

}

std::string boundedLogMessage(std::string_view message, std::size_t limit)
{
    if (message.size() <= limit)
        return std::string(message);
    std::size_t cut = limit;
    // Back off over continuation bytes (10xxxxxx) so that no character is split.
    while (cut > 0 && (static_cast<unsigned char>(message[cut]) & 0xC0) == 0x80)
        --cut;
    return fmt::format("{}… [{} bytes in all]", message.substr(0, cut), message.size());
}

std::shared_ptr<LogSink> makeJournalLogSink(std::string syslogIdentifier, LogLevel threshold)
{
    return std::make_shared<JournalLogSink>(std::move(syslogIdentifier), threshold);
}

std::shared_ptr<LogSink> makeStderrLogSink(LogLevel threshold)
{
    return std::make_shared<StderrLogSink>(threshold);
}

std::shared_ptr<LogSink> makeDefaultLogSink(std::string syslogIdentifier)
{
    bool debug = debugRequested();
    if (journalIsRunning())
        return makeJournalLogSink(std::move(syslogIdentifier), debug ? LogLevel::Debug : LogLevel::Default);
    return makeStderrLogSink(debug ? LogLevel::Debug : LogLevel::Error);
}

std::shared_ptr<LogSink> makeFanOutLogSink(std::vector<std::shared_ptr<LogSink>> sinks)
{
    return std::make_shared<FanOutLogSink>(std::move(sinks));
}

CommandLineLogging commandLineLogging(bool verbose)
{
    return { verbose, debugRequested(), journalIsRunning() };
}

std::shared_ptr<LogSink> makeCommandLineLogSink(
    std::string syslogIdentifier, const CommandLineLogging& logging)
{
    const auto threshold = logging.debug ? LogLevel::Debug : LogLevel::Default;
    std::vector<std::shared_ptr<LogSink>> sinks;
    if (logging.journalRunning)
        sinks.push_back(makeJournalLogSink(std::move(syslogIdentifier), threshold));
    if (logging.verbose || logging.debug)
        sinks.push_back(makeStderrLogSink(threshold));
    return makeFanOutLogSink(std::move(sinks));
}

std::shared_ptr<LogSink> setLogSink(std::shared_ptr<LogSink> sink)
{
    std::lock_guard lock(sinkMutex);
    std::swap(sinkSlot(), sink);
    return sink;
}

std::shared_ptr<LogSink> currentLogSink()
{
    std::lock_guard lock(sinkMutex);
    return sinkSlot();
}

void TestLogSink::write(const LogRecord& record)
{
    std::lock_guard lock(m_mutex);
    m_records.push_back(record);
}

std::vector<LogRecord> TestLogSink::records() const
{
    std::lock_guard lock(m_mutex);
    return m_records;
}

std::vector<std::string> TestLogSink::messages(std::string_view category) const
{
    std::lock_guard lock(m_mutex);
    std::vector<std::string> result;
    for (const auto& record : m_records) {
        if (category.empty() || record.category == category)
            result.push_back(record.message);
    }
    return result;
}

bool TestLogSink::contains(LogLevel level, std::string_view message) const
{
    std::lock_guard lock(m_mutex);
    for (const auto& record : m_records) {
        if (record.level == level && record.message == message)
            return true;
    }
    return false;
}

void TestLogSink::clear()
{
    std::lock_guard lock(m_mutex);
    m_records.clear();
}

ScopedTestLogSink::ScopedTestLogSink()
    : m_sink(std::make_shared<TestLogSink>())
    , m_previous(setLogSink(m_sink))
{ }

ScopedTestLogSink::~ScopedTestLogSink()
{
    setLogSink(m_previous);
}

}
