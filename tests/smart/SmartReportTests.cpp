#include "core/Log.h"
#include "smart/SMARTKeyCatalog.h"
#include "smart/SmartmontoolsBridge.h"
#include "support/LanguageGuard.h"

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <limits>
#include <string>
#include <vector>

namespace tallowin {
namespace {

using nlohmann::json;
using testing::LanguageGuard;
using Detail = DiskSMARTInfo::Detail;
using Paths = std::vector<std::string>;

Bytes bytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }

Bytes readSmartctlFile(const std::string& name)
{
    std::ifstream file(std::filesystem::path(TALLOWIN_TEST_DATA_DIR) / "smartctl" / name, std::ios::binary);
    return bytesOf(std::string(std::istreambuf_iterator<char>(file), {}));
}

SmartctlExecutionResult runOf(Bytes output, std::int32_t status = 0)
{
    return { std::move(output), "/usr/sbin/smartctl -j -x /dev/sda", bytesOf(""), status };
}

const Detail* rowAt(const std::vector<Detail>& rows, std::string_view keyPath)
{
    auto found = std::find_if(rows.begin(), rows.end(), [&](const Detail& row) { return row.keyPath == keyPath; });
    return found == rows.end() ? nullptr : &*found;
}

std::vector<Detail> flattened(std::string_view text) { return SmartmontoolsBridge::flatten(json::parse(text)); }

Paths pathsIn(const std::vector<Detail>& rows)
{
    Paths paths;
    for (const auto& row : rows)
        paths.push_back(row.keyPath);
    return paths;
}

TEST(SMARTKeyCatalog, NamesEveryRowAndLooksUpWithPositionsNormalisedAndExactCase)
{
    for (const auto& [key, row] : SMARTKeyCatalog::all()) {
        EXPECT_EQ(row.key, key);
        EXPECT_FALSE(row.displayNameEnglish.empty() || row.displayNameChinese.empty()) << key;
    }
    const std::tuple<const char*, const char*, const char*, bool> cases[] = {
        { "temperature.current", "Current Temperature", "当前温度", true },
        { "ata_smart_attributes.table[7].raw.hex", "Raw Value (Hex)", "原始数值（十六进制）", false },
        { "ata_smart_attributes.table[0].flags.prefailure", "Pre-failure", "可能失效", true },
        { "nvme_power_states[2].max_power.value", "Maximum Power Value", "最大功耗数值", false },
        { "Smart_Status.Passed", nullptr, nullptr, false },
        { "ata_smart_attributes.table[x].id", nullptr, nullptr, false },
    };
    for (const auto& [path, english, chinese, shown] : cases) {
        const auto* row = SMARTKeyCatalog::descriptor(path);
        ASSERT_EQ(row != nullptr, english != nullptr) << path;
        if (row) {
            EXPECT_EQ(std::tie(row->displayNameEnglish, row->displayNameChinese, row->shouldDisplay),
                std::make_tuple(english, chinese, shown))
                << path;
        }
    }
    EXPECT_EQ(SMARTKeyCatalog::normalizedPath("a[12].b[0][3].c[].d[x][4"), "a[].b[][].c[].d[x][4");
    for (const auto& [key, expected] : { std::pair { "ata_smart_data", "ata smart data" },
             { "spareAvailable", "spare Available" }, { "ABCDef", "ABCDef" }, { "__x__", "x" }, { "_", "_" } })
        EXPECT_EQ(SMARTKeyCatalog::fallbackName(key), expected) << '"' << key << '"';
}

TEST(SmartmontoolsBridge, RendersValuesWithoutLosingDigits)
{
    LanguageGuard english("en_US");
    const std::pair<json, const char*> cases[] = { { "  WD-WXE708D44602 \n", "WD-WXE708D44602" }, { " \t", "" },
        { true, "Yes" }, { false, "No" }, { 999, "999" }, { -1234, "-1,234" },
        { std::numeric_limits<std::uint64_t>::max(), "18,446,744,073,709,551,615" },
        { std::numeric_limits<std::int64_t>::min(), "-9,223,372,036,854,775,808" }, { 36.666, "36.67" },
        { 5.0, "5" }, { 1234.5, "1,234.5" }, { nullptr, "null" } };
    for (const auto& [value, expected] : cases)
        EXPECT_EQ(SmartmontoolsBridge::render(value), expected) << value.dump();
}

TEST(SmartmontoolsBridge, StatusAndCapabilityTakeTheFirstRuleThatApplies)
{
    const std::tuple<const char*, std::optional<std::string>, std::optional<bool>> cases[] = {
        { R"({"smart_status": {"passed": false, "string": "  "}})", "FAILED", std::nullopt },
        { R"({"smart_status": {"passed": true, "string": " BAD SECTORS "}})", " BAD SECTORS ", std::nullopt },
        { R"({"smart_status": {"passed": 1}, "nvme_smart_health_information_log": {"critical_warning": 0}})",
            "NVMe Warning: 0", std::nullopt },
        { R"({"smart_status": "PASSED"})", std::nullopt, std::nullopt },
        { R"({"smart_support": {"available": false, "enabled": true}})", std::nullopt, false },
        { R"({"smart_support": {}, "ata_smart_data": {"capabilities": {"smart_capable": false,
             "supports_smart": true}}})",
            std::nullopt, false },
        { R"({"ata_smart_data": {"capabilities": {"supports_smart": true}}})", std::nullopt, true },
        { R"({"ata_smart_data": {"capabilities": {"supports_smart": 1}}})", std::nullopt, std::nullopt },
    };
    for (const auto& [document, status, capable] : cases) {
        auto root = json::parse(document);
        EXPECT_EQ(SmartmontoolsBridge::overallStatus(root), status) << document;
        EXPECT_EQ(SmartmontoolsBridge::capability(root), capable) << document;
    }
}

TEST(SmartmontoolsBridge, FlattensObjectsArraysAndPlainValuesUnderComposedNames)
{
    LanguageGuard english("en_US");
    auto rows = flattened(R"({
        "smartctl": {"version": [7, 3]}, "json_format_version": [1, 0], "device": {"name": "/dev/sda"},
        "ata_device": {"x": 1}, "messages": [{"string": "hi"}],
        "vendor_specificThing": {"offline_data_collection": {"status": {"value": 130}}},
        "nvme_smart_health_information_log": {"temperature_sensors": [35, 41], "media_errors": 7},
        "ata_smart_attributes": {"table": [
            {"id": 5, "name": "Reallocated_Sector_Ct", "raw": {"value": 0, "hex": "0x00"}},
            {"id": 9, "name": "Power_On_Hours", "raw": {"value": 9103526781257015}}]},
        "lists": [[1, 2], [], [3], {"k": ""}],
        "empty_text": "", "temperature_fahrenheit": 95, "nvme_power_states": [{"max_power": {"value": 9}}]
    })");
    std::vector<std::pair<std::string, std::string>> seen;
    for (const auto& row : rows)
        seen.emplace_back(row.keyPath, row.displayName + " = " + row.value);
    std::sort(seen.begin(), seen.end());
    const std::vector<std::pair<std::string, std::string>> expected {
        { "ata_smart_attributes.table[0].id", "Attribute ID = 5" },
        { "ata_smart_attributes.table[0].name", "Attribute Name = Reallocated_Sector_Ct" },
        { "ata_smart_attributes.table[0].raw.value", "Raw Value = 0" },
        { "ata_smart_attributes.table[1].id", "Attribute ID = 9" },
        { "ata_smart_attributes.table[1].name", "Attribute Name = Power_On_Hours" },
        { "ata_smart_attributes.table[1].raw.value", "Raw Value = 9,103,526,781,257,015" },
        { "lists[0]", "lists #1 = 1, 2" },
        { "lists[2]", "lists #3 = 3" },
        { "nvme_smart_health_information_log.media_errors", "NVMe Media Errors = 7" },
        { "nvme_smart_health_information_log.temperature_sensors", "Temperature Sensors = 35, 41" },
        { "vendor_specificThing.offline_data_collection.status.value",
            "vendor specific Thing \u203A offline data collection \u203A status \u203A value = 130" },
    };
    EXPECT_EQ(seen, expected);
}

TEST(SmartmontoolsBridge, OrdersRowsByPriorityThenCaseInsensitiveNameInEitherLanguage)
{
    const char* document = R"({"zzz": 1, "aaa": 2, "power_on_time": {"hours": 3}, "temperature": {"current": 30},
        "firmware_version": "1.0", "model_name": "Disk", "serial_number": "S1", "user_capacity": {"bytes": 5}})";
    {
        LanguageGuard english("en_US");
        EXPECT_EQ(pathsIn(flattened(document)),
            (Paths { "serial_number", "model_name", "firmware_version", "temperature.current",
                "power_on_time.hours", "user_capacity.bytes", "aaa", "zzz" }));
    }
    LanguageGuard chinese("zh_CN");
    auto rows = flattened(document);
    ASSERT_EQ(rows.size(), 8u);
    EXPECT_EQ(rows[0].displayName + rows[1].displayName + rows[2].displayName + rows[3].displayName,
        "序列号型号固件版本当前温度");

    std::vector<Detail> ties { { {}, "b", "Same", "1" }, { {}, "a", "same", "2" }, { {}, "c", "Other", "3" } };
    SmartmontoolsBridge::sortByPriority(ties);
    EXPECT_EQ(pathsIn(ties), (Paths { "c", "b", "a" }));

    const std::tuple<const char*, const char*, bool> collations[] = { { "b", "A", false }, { "Abc", "abc", false },
        { "_c", "A", true }, { "9", "a", true }, { "a", "a1", true }, { "z", "\xe4\xb8\xad", true } };
    for (const auto& [a, b, before] : collations)
        EXPECT_EQ(SmartmontoolsBridge::collatesBefore(a, b), before) << a << " < " << b;
}

// --- Real smartctl outputs ------------------------------------------------------------------------

TEST(SmartmontoolsBridgeRealOutputs, StatusCapabilityIdentityFirstAndNothingHidden)
{
    const std::tuple<const char*, std::optional<std::string>, std::optional<bool>> outputs[] = {
        { "nvme-samsung-970evo-xall.json", "PASSED", std::nullopt },
        { "nvme-toshiba-kxg6aznv512g-xall.json", "PASSED", true },
        { "nvme-sabrent-rocket4-all.json", "PASSED", true },
        { "ata-ssd-samsung-860evo-xall.json", "PASSED", std::nullopt },
        { "ata-ssd-ocz-vertex2-xall.json", "PASSED", std::nullopt },
        { "ata-hdd-wdc-wd140edfz-all.json", "PASSED", std::nullopt },
        { "ata-hdd-hgst-hms5c4040ble640.json", "PASSED", true },
        { "ata-hdd-seagate-st1000nm0008-redacted.json", "PASSED", true },
        { "ata-hdd-seagate-st6000nm0115-megaraid-all.json", "PASSED", std::nullopt },
        { "usb-sunplus-samsung-hd204ui-xall.json", "PASSED", std::nullopt },
        { "usb-jmicron-wdc-wd2500bevs-xall.json", "PASSED", true },
        { "usb-jmicron-wdc-wd3200bevt-failing-all.json", "FAILED", true },
        { "scsi-sas-seagate-st600mp0036-all.json", "PASSED", true },
        { "scsi-sas-seagate-st1200mm0088-v67.json", "PASSED", std::nullopt },
        { "scsi-sas-seagate-farm-anon-all.json", "PASSED", true },
    };
    ScopedTestLogSink quiet;
    for (const char* language : { "en_US", "zh_CN" }) {
        LanguageGuard guard(language);
        for (const auto& [file, status, capable] : outputs) {
            SCOPED_TRACE(std::string(file) + " " + language);
            auto info = SmartmontoolsBridge::parse(runOf(readSmartctlFile(file), 4), "sda");
            ASSERT_TRUE(info);
            EXPECT_EQ(info->overallStatus, status);
            EXPECT_EQ(info->isCapable, capable);
            EXPECT_EQ(info->sourceCommand, "/usr/sbin/smartctl -j -x /dev/sda");
            // Serial number, model and firmware come first, as far as the drive reports them.
            auto root = json::parse(readSmartctlFile(file));
            std::size_t next = 0;
            for (const char* identity : { "serial_number", "model_name", "firmware_version" }) {
                if (!root.contains(identity))
                    continue;
                ASSERT_LT(next, info->details.size());
                EXPECT_EQ(info->details[next].keyPath, identity);
                EXPECT_EQ(info->details[next++].value, root[identity].get<std::string>());
            }
            for (const auto& row : info->details) {
                const auto* descriptor = SMARTKeyCatalog::descriptor(row.keyPath);
                EXPECT_TRUE(!descriptor || descriptor->shouldDisplay) << row.keyPath;
                EXPECT_FALSE(row.value.empty()) << row.keyPath;
                for (const char* skipped : { "smartctl", "json_format_version", "device", "local_time" })
                    EXPECT_FALSE(row.keyPath == skipped || row.keyPath.starts_with(std::string(skipped) + "."))
                        << row.keyPath;
            }
        }
    }
}

TEST(SmartmontoolsBridgeRealOutputs, NvmeSensorsJoinAndBooleansFollowTheLanguage)
{
    ScopedTestLogSink quiet;
    for (const auto& [language, name, yes] :
        { std::tuple { "en_US", "Temperature Sensors", "Yes" }, std::tuple { "zh_CN", "温度传感器", "是" } }) {
        LanguageGuard guard(language);
        auto info = SmartmontoolsBridge::parse(runOf(readSmartctlFile("nvme-samsung-970evo-xall.json")), "nvme0");
        ASSERT_TRUE(info);
        const auto* sensors = rowAt(info->details, "nvme_smart_health_information_log.temperature_sensors");
        const auto* passed = rowAt(info->details, "smart_status.passed");
        ASSERT_TRUE(sensors && passed);
        EXPECT_EQ(sensors->displayName + " = " + sensors->value + " / " + passed->value,
            std::string(name) + " = 35, 39 / " + yes);
        EXPECT_EQ(rowAt(info->details, "smart_status.nvme.value"), nullptr);
    }
}

// One check per kind of diagnostic: what ran, what smartctl said and printed, and why nothing
// came of it.
TEST(SmartmontoolsBridge, LogsTheRunAndGivesNothingForUnusableOutputs)
{
    using enum LogLevel;
    ScopedTestLogSink log;
    const std::string command = "/usr/sbin/smartctl -j -x /dev/sda";
    const auto expectLogged = [&](const std::vector<std::pair<LogLevel, std::string>>& lines) {
        for (const auto& [level, line] : lines)
            EXPECT_TRUE(log->contains(level, line)) << line;
    };
    EXPECT_FALSE(SmartmontoolsBridge::parse(
        runOf(readSmartctlFile("error-open-permission-denied-nvme-xall.json"), 2), "nvme0"));
    expectLogged({ { Error, "smartctl exited with status 2 for BSD name nvme0; continuing to parse command: " + command },
        { Error, "smartctl reported message (severity: error) for command " + command
                + ": Smartctl open device: /dev/nvme0 failed: Permission denied" },
        { Default, "smartctl stderr for BSD name nvme0 was empty" },
        { Error, "smartctl JSON for BSD name nvme0 did not contain usable SMART information" } });
    for (const char* output : { "[1, 2]", "not json", "", "\"PASSED\"" }) {
        log->clear();
        EXPECT_FALSE(SmartmontoolsBridge::parse(runOf(bytesOf(output)), "sdb")) << output;
        EXPECT_TRUE(log->contains(Error, "Failed to decode smartctl JSON for BSD name sdb")) << output;
    }
    EXPECT_TRUE(log->contains(Default, "smartctl stdout for BSD name sdb: \"PASSED\""));

    // Messages at either level, severities named or numbered; stderr that is not text in base64.
    log->clear();
    auto run = runOf(bytesOf(R"({"messages": [{"string": "top", "severity": "WARN"}, {"string": ""}, 7],
        "smartctl": {"messages": [{"string": "nested", "severity": 3}]}, "smart_status": {"passed": true}})"));
    run.standardError = { 0xff, 0xfe, 0x41 };
    ASSERT_TRUE(SmartmontoolsBridge::parse(run, "sdb"));
    auto lines = log->messages("SmartmontoolsBridge");
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                  [](const std::string& line) { return line.starts_with("smartctl reported message"); }),
        2);
    expectLogged({ { Default, "smartctl stderr for BSD name sdb: //5B" },
        { Error, "smartctl reported message (severity: WARN) for command " + command + ": top" },
        { Default, "smartctl reported message (severity: notice) for command " + command + ": nested" },
        { Default, "Successfully parsed SMART details for BSD name sdb via privileged helper" } });
}

// --- Hostile and random documents ---------------------------------------------------------------

TEST(SmartmontoolsBridgeProperties, DeepDocumentsStayBounded)
{
    auto nested = [](std::size_t levels, const char* open, const char* close) {
        std::string text = R"({"outer": )";
        for (std::size_t i = 0; i < levels; ++i)
            text += open;
        text += "1";
        for (std::size_t i = 0; i < levels; ++i)
            text += close;
        return text + "}";
    };
    // The only value lies below the bound, at a depth that would exhaust a recursive walk's stack.
    EXPECT_TRUE(flattened(nested(100000, R"({"a": [)", "]}")).empty());
    EXPECT_EQ(flattened(nested(SmartmontoolsBridge::maximumNestingDepth, R"({"a": )", "}")).size(), 1u);
    EXPECT_TRUE(flattened(nested(SmartmontoolsBridge::maximumNestingDepth + 1, R"({"a": )", "}")).empty());
}

}
}
