#include "DynamicTweaks.h"
#include "NativePath.h"
#include "TestSupport.h"
#include "TweakCatalogue.h"
#include "Tweaks.h"

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::string lower(std::string_view text) {
    std::string folded(text);
    for (char& c : folded) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return folded;
}

const TweakDescriptor* rowNamed(std::string_view name) {
    for (const TweakDescriptor& row : TweakCatalogue) {
        if (row.name == name) return &row;
    }
    return nullptr;
}

const TweakDescriptor* rowNamedIgnoringCase(std::string_view name) {
    for (const TweakDescriptor& row : TweakCatalogue) {
        if (lower(row.name) == lower(name)) return &row;
    }
    return nullptr;
}

// The cache's own table, the list its fields are made from, without the derived flags.
struct CachedTweak {
    std::string_view name;
    std::string_view storedAs;  // bool, i32, u32, i64
    std::string_view readAs;    // Long, Int, Uint, LongAsBool, UintAsBool, Bool
};

std::vector<CachedTweak> cachedTweaks() {
#define TALVO_CACHED_TWEAK_ROW(type, name, kind, def) {#name, #type, #kind},
    const CachedTweak all[] = {TALVO_DYNAMIC_TWEAKS(TALVO_CACHED_TWEAK_ROW)};
#undef TALVO_CACHED_TWEAK_ROW
    std::vector<CachedTweak> tweaks;
    for (const CachedTweak& tweak : all) {
        if (tweak.readAs != "Derived") tweaks.push_back(tweak);
    }
    return tweaks;
}

// The catalogue's type word for a value stored as `storedAs`: a cached flag is a "bool" row however it is read.
std::string_view typeWordFor(std::string_view storedAs) {
    if (storedAs == "bool") return "bool";
    if (storedAs == "i32") return "int";
    if (storedAs == "u32") return "uint";
    if (storedAs == "i64") return "long";
    return "?";
}

// Every way the catalogue and the cache disagree, one text each.
std::set<std::string> disagreements() {
    std::set<std::string> found;
    std::set<std::string_view> cachedNames;
    for (const CachedTweak& tweak : cachedTweaks()) {
        cachedNames.insert(tweak.name);
        const TweakDescriptor* row = rowNamed(tweak.name);
        if (!row) {
            const TweakDescriptor* other = rowNamedIgnoringCase(tweak.name);
            found.insert(other ? "cached under another spelling: " + std::string(tweak.name) + " / " +
                                     std::string(other->name)
                               : "cached, no row: " + std::string(tweak.name));
            continue;
        }
        if (!row->dynamic) found.insert("cached, row not dynamic: " + std::string(tweak.name));
        if (row->type != typeWordFor(tweak.storedAs)) {
            found.insert("kind: " + std::string(tweak.name) + " cached as " + std::string(tweak.storedAs) +
                         " read " + std::string(tweak.readAs) + ", row \"" + std::string(row->type) + "\"");
        }
    }
    for (const TweakDescriptor& row : TweakCatalogue) {
        if (row.dynamic && !cachedNames.count(row.name)) {
            found.insert("dynamic row, not cached: " + std::string(row.name));
        }
    }
    return found;
}

std::string joined(const std::set<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += "  " + line + "\n";
    return text;
}

}  // namespace

TEST(TweakCatalogueShapeTest, EachTypeWordAndDynamicFlagHasItsCount) {
    const struct {
        std::string_view type;
        bool dynamic;
        size_t rows;
    } cases[] = {
        {"bool", true, 60},  {"bool", false, 90},
        {"int", true, 8},    {"int", false, 276},
        {"uint", true, 37},  {"uint", false, 210},
        {"long", true, 12},  {"long", false, 55},
        {"string", true, 0}, {"string", false, 45},
    };
    std::map<std::pair<std::string_view, bool>, size_t> counted;
    for (const TweakDescriptor& row : TweakCatalogue) ++counted[{row.type, row.dynamic}];
    size_t total = 0;
    for (const auto& c : cases) {
        const std::pair<std::string_view, bool> key(c.type, c.dynamic);
        EXPECT_EQ(counted[key], c.rows) << '"' << c.type << "\" " << (c.dynamic ? "dynamic" : "not dynamic");
        total += c.rows;
    }
    EXPECT_EQ(total, 793u);  // the pairs above cover every row
    EXPECT_EQ(TweakCatalogue.size(), 793u);
    // Only the five type words, spelt exactly so.
    for (const TweakDescriptor& row : TweakCatalogue) {
        if (row.type != "bool" && row.type != "int" && row.type != "uint" && row.type != "long" &&
            row.type != "string") {
            ADD_FAILURE() << row.name << " has type \"" << row.type << "\"";
        }
    }
}

TEST(TweakCatalogueShapeTest, NamesAreWellFormedAndUniqueAlsoIgnoringCase) {
    std::map<std::string, std::string_view> byFoldedName;
    for (const TweakDescriptor& row : TweakCatalogue) {
        bool wellFormed = row.name.size() > 2 && row.name.substr(0, 2) == "t_";
        for (char c : row.name) {
            wellFormed = wellFormed && ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                                        c == '_');
        }
        EXPECT_TRUE(wellFormed) << '"' << row.name << '"';
        const auto [it, inserted] = byFoldedName.emplace(lower(row.name), row.name);
        EXPECT_TRUE(inserted) << row.name << " repeats " << it->second;
    }
}

TEST(TweakCatalogueShapeTest, RowsThatOpenAndCloseTheTwoRuns) {
    const struct {
        size_t row;  // counted from 1
        std::string_view name;
        std::string_view type;
    } cases[] = {
        {1, "t_AIOMaxIOLengthBlocks", "uint"},
        {751, "t_kestrumPEMCertificatePath", "string"},
        {752, "t_TeskAppliersMemLimitBytes", "long"},
        {793, "t_reserveViewsRLsMemory", "int"},
    };
    for (const auto& c : cases) {
        const TweakDescriptor& row = TweakCatalogue.at(c.row - 1);
        EXPECT_EQ(row.name, c.name) << "row " << c.row;
        EXPECT_EQ(row.type, c.type) << "row " << c.row;
        EXPECT_FALSE(row.dynamic) << "row " << c.row;
    }
    // The second run: the memory budgets, 21 limits ("long") and 21 reservations ("int"), none dynamic.
    std::map<std::string_view, size_t> budgets;
    for (size_t i = 751; i < TweakCatalogue.size(); ++i) {
        ++budgets[TweakCatalogue[i].type];
        EXPECT_FALSE(TweakCatalogue[i].dynamic) << TweakCatalogue[i].name;
    }
    EXPECT_EQ(budgets, (std::map<std::string_view, size_t>{{"int", 21}, {"long", 21}}));
}

TEST(TweakCatalogueRowsTest, TweaksTheProgramsReadDirectlyHaveTheRowOfTheirGetter) {
    const struct {
        std::string_view name;
        std::string_view type;
        bool dynamic;
    } cases[] = {
        {"t_ActiveObjectVerboseLogs", "bool", true},  // read through the cache
        {"t_enableMemshield", "bool", false},        // read as a 64-bit number tested against zero
        {"t_allocationHistoryLengthMs", "int", false},
        {"t_memshield_pre_margin_size", "int", false},
        {"t_memshield_post_margin_size", "int", false},
        {"t_MemShieldMaxAllocationInCodeLine", "int", false},
        {"t_MemShieldVerbose", "int", false},
        {"t_GenFileLoggerMaxFiles", "int", false},
        {"t_FileLoggerMaxFilesOverride", "int", false},
        {"t_TeskCheckLoggerFileRenamePeriodMs", "int", false},
        {"t_TeskFlushFileMaxPeriodMs", "uint", false},
        {"t_percentOfLoggerMemoryforMinimalThreshold", "uint", false},
        {"t_FileLoggerCompressOnRotate", "bool", false},
        {"t_FileLoggerEnabled", "bool", false},
        {"t_FileLoggerFlushEveryLine", "bool", false},
        {"t_AsyncFileLoggerFlushEveryLine", "bool", false},
        {"t_quolmMaxFiles", "int", false},
        {"t_TeskPriorityQueuePrintIntervalMs", "int", false},
        {"t_simulativeCpuUsage", "bool", false},
        {"t_randomCpuUsage", "bool", false},
        {"t_highCpuUsageProbabilityPercent", "int", false},
        {"t_midCpuUsageProbabilityPercent", "int", false},
        {"t_lowCpuUsageProbabilityPercent", "int", false},
        {"t_keepPrevCpuUsageProbabilityPercent", "int", false},
        {"t_TeskCompressionHighCpuThreshold", "uint", false},
        {"t_disableBtPrint", "uint", false},
        {"t_TeskForceKillOnDeadlock", "bool", false},
        {"t_TeskWaitTimeAfterMemAllocRequestErrorThresholdSec", "uint", false},
        {"t_TeskWaitTimeAfterMemAllocRequestInfoThresholdSec", "uint", false},
    };
    for (const auto& c : cases) {
        const TweakDescriptor* row = rowNamed(c.name);
        if (!row) {
            ADD_FAILURE() << c.name << " has no row";
            continue;
        }
        EXPECT_EQ(row->type, c.type) << c.name;
        EXPECT_EQ(row->dynamic, c.dynamic) << c.name;
    }
}

// The agent's own tweaks have no row; a tweak file sets them all the same.
TEST(TweakCatalogueRowsTest, TweakFileSetsAgentTweaksThatHaveNoRow) {
    const struct {
        const char* name;
        i64 value;
    } cases[] = {
        {"t_requesterSimulativeVss", 1},
        {"t_requesterQuiescedEventWaitTimeoutMsec", 1001},
        {"t_requesterEventWaitForThawStartTimeoutMsec", 1002},
        {"t_requesterEventWaitForSharedMemoryReadTimeoutMsec", 1003},
        {"t_runnerEventFreezeCompleteTimeoutMsec", 1004},
        {"t_runnerEventThawCompleteTimeoutMsec", 1005},
        {"t_WaitAsyncTimeoutMsec", 1006},
    };
    std::ostringstream file;
    for (const auto& c : cases) {
        EXPECT_EQ(rowNamedIgnoringCase(c.name), nullptr) << c.name;
        file << c.name << "=" << c.value << "\n";
    }
    const std::string dir = uniqueName("agent_tweaks");
    fs::create_directories(nativePath(dir));
    std::ofstream(nativePath(dir + "\\tweaks_extension.txt"), std::ios::binary) << file.str();
    const fs::path before = fs::current_path();
    fs::current_path(nativePath(dir));
    {
        Tweaks registry;  // loads the files of the working directory
        for (const auto& c : cases) EXPECT_EQ(registry.longVal(c.name, -1), c.value) << c.name;
    }
    fs::current_path(before);
    fs::remove_all(nativePath(dir));
}

TEST(TweakCatalogueCrossCheckTest, LinesUpWithTheDynamicTweaksCache) {
    ASSERT_EQ(cachedTweaks().size(), 137u);
    // Where the two tables are meant to differ; anything else is a typo in one of them.
    const std::set<std::string> expected = {
        "dynamic row, not cached: t_AzureRestorePointVerboseLogs",
        "cached, row not dynamic: t_hultListHandleExpireIntervalSeconds",
        "cached, row not dynamic: t_hultListHandleExpireTimeoutSeconds",
        "cached, row not dynamic: t_teskS3ProxyVerbose",
        "cached, no row: t_azureMaxConcurrentDeleteGroupSnapshots",
        "cached, no row: t_verboseAzureDeleteGroupSnapshots",
        "cached, no row: t_groupSnapshotsVerboseLogs",
        "cached, no row: t_azureCreateRestorePointPollIntervalMs",
        "cached, no row: t_groupSnapshotCleanerIntervalMs",
        "cached, no row: t_azureManifestProxyMsRest",
        "cached, no row: t_azureManifestJobTimeoutSec",
        "cached, no row: t_recordIOsEnabled",
        "cached, no row: t_httpConnectionVerbose",
        "cached, no row: t_assertOnInvalidControlOperations",
        "cached, no row: t_IRAewmaWindowSize",
        "cached, no row: t_IRAcalcChi",
        "cached, no row: t_IRAcalcCuSum",
        "cached, no row: t_IRAcalcSingleLikeAvg",
        "cached, no row: t_IRAuseHl",
        "cached, no row: t_printAsyncTaskFrames",
        "cached, no row: t_teskEnableS3ProxyPugiXml",
        "cached, no row: t_teskEnableCurlHttpConnection",
        "kind: t_teskS3ProxyVerbose cached as bool read Bool, row \"int\"",
        "kind: t_hultListHandleExpireIntervalSeconds cached as i64 read Long, row \"uint\"",
        "kind: t_hultListHandleExpireTimeoutSeconds cached as i64 read Long, row \"uint\"",
        // The getter is the row's (uintVal); only the stored kind differs.
        "kind: t_TeskDumpFullDataInVerboseLog cached as bool read UintAsBool, row \"uint\"",
    };
    const std::set<std::string> found = disagreements();
    std::set<std::string> unexpected, missing;
    for (const std::string& line : found) {
        if (!expected.count(line)) unexpected.insert(line);
    }
    for (const std::string& line : expected) {
        if (!found.count(line)) missing.insert(line);
    }
    EXPECT_TRUE(unexpected.empty() && missing.empty())
        << "all disagreements between the catalogue and the cache:\n" << joined(found)
        << "not expected:\n" << joined(unexpected) << "expected but not found:\n" << joined(missing);
}
