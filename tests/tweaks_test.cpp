#include "FatalStop.h"
#include "NativePath.h"
#include "TestSupport.h"
#include "Tweaks.h"
#include "DynamicTweaks.h"
#include "MemWatchedContainer.h"

#include <chrono>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <sstream>

namespace fs = std::filesystem;

namespace {

// Each line logged so far without its time and thread columns: "Level,NON,Class,method,message".
std::string loggedLines(const std::string& level = "") {
    std::string text;
    for (const std::string& line : sharedClient().lines()) {
        const size_t levelStart = line.find(',') + 1;
        const size_t levelEnd = line.find(',', levelStart);
        const size_t rest = line.find(',', levelEnd + 1) + 1;
        const std::string lineLevel = line.substr(levelStart, levelEnd - levelStart);
        if (level.empty() || lineLevel == level) text += lineLevel + "," + line.substr(rest);
    }
    return text;
}

// A log client that copies Error lines to standard error, where a death test looks for them. Its flush reads a
// tweak, as a file logger's may: a fatal report made under the registry's lock would then never end, so the
// process is ended after 20 s.
class StderrEcho : public LoggerClient {
public:
    void write(const std::string& line) override { std::cerr << line; }
    void flush() override { Tweaks::instance()->longVal("t_readByAFlush", 0); }
};

void echoErrorsToStderr() {
    endProcessAfter(20000);
    Tweaks::instance();  // before the client: the registry's own loading must not ask for the registry
    Logger::instance()->registerClient(new StderrEcho, 1u << static_cast<u32>(LogLevel::Error));
}

void writeFile(const std::string& windowsPath, const std::string& content) {
    fs::create_directories(fs::path(nativePath(windowsPath)).parent_path());
    std::ofstream out(nativePath(windowsPath), std::ios::binary | std::ios::trunc);
    out << content;
}

struct FixtureFile {
    std::string path;  // relative to the fixture folder, Windows style
    std::string content;
};

// The versioned tweak file as its one slot: data and signature.
std::vector<FixtureFile> versioned(const std::string& data, const std::string& crc) {
    return {{"tesk_tweaks\\\\tweaks.txt.0", data}, {"tesk_tweaks\\\\tweaks.txt.0.sig", "1\n" + crc + "\n"}};
}

const char* const kExtension = "tweaks_extension.txt";
const char* const kRunTogether = "test_appdatatweaks_extension_upgrade_surviving.txt";
const char* const kInFolder = "test_appdata\\tweaks_extension_upgrade_surviving.txt";

// A folder holding exactly `files`; the same on every run, so the child of a death test rebuilds it as it was.
std::string makeFixture(const std::string& name, const std::vector<FixtureFile>& files) {
    fs::remove_all(nativePath(name));
    fs::create_directories(nativePath(name));
    for (const auto& file : files) writeFile(name + "\\" + file.path, file.content);
    return name;
}

std::string absolute(const std::string& windowsPath) { return fs::absolute(nativePath(windowsPath)).string(); }

// Runs `body` in a new process started in `dir`, where the registry is built at the body's first use, and returns
// the process's report: what the body wrote, then what it printed on standard output.
std::string inFreshProcess(const std::string& dir, const std::function<void(std::ostream&)>& body) {
    const std::string reportPath = absolute(dir + ".report");
    const std::string stdoutPath = absolute(dir + ".stdout");
    std::remove(reportPath.c_str());
    std::remove(stdoutPath.c_str());
    EXPECT_EXIT(
        {
            fs::current_path(nativePath(dir));
            redirectStdoutTo(stdoutPath);
            sharedClient();  // registered before the registry exists: it sees the lines of the loading too
            std::ofstream report(reportPath, std::ios::binary);
            body(report);
            report.close();
            std::cout.flush();
            std::_Exit(0);
        },
        ::testing::ExitedWithCode(0), "");
    return readFile(reportPath) + "stdout:\n" + readFile(stdoutPath);
}

// `start` filled up with "x" to `length` characters.
std::string longLine(const std::string& start, size_t length) {
    return start + std::string(length - start.size(), 'x');
}

}  // namespace

TEST(TweakValueTest, ParsesTextsBoolWordsAndNumbers) {
    const struct {
        const char* text;
        bool isNumber;
        i64 value;
        const char* innerText;
        const char* shown;  // toString
    } cases[] = {
        {"0x1F", true, 31, "", "31"},
        {"0X1f", true, 31, "", "31"},
        {"12abc", true, 12, "", "12"},
        {"-5", true, -5, "", "-5"},
        {"+5", true, 5, "", "5"},
        {"010", true, 10, "", "10"},
        {"1e5", true, 1, "", "1"},
        {" 7", true, 7, "", "7"},
        {"9223372036854775807", true, LLONG_MAX, "", "9223372036854775807"},
        {"-9223372036854775808", true, LLONG_MIN, "", "-9223372036854775808"},
        {"0x7fffffffffffffff", true, LLONG_MAX, "", "9223372036854775807"},
        {"true", true, 1, "", "1"},
        {"YES", true, 1, "", "1"},
        {"ON", true, 1, "", "1"},
        {"Enabled", true, 1, "", "1"},
        {"ok", true, 1, "", "1"},
        {"false", true, 0, "", "0"},
        {"No", true, 0, "", "0"},
        {"off", true, 0, "", "0"},
        {"Disabled", true, 0, "", "0"},
        {"\"yes\"", true, 1, "", "1"},
        {"\"Off\"", true, 0, "", "0"},
        {"\"5\"", false, 0, "5", "\"5\""},
        {"\"hello\"", false, 0, "hello", "\"hello\""},
        {"\"a=b \"", false, 0, "a=b ", "\"a=b \""},
        {"\"\"", false, 0, "", "\"\""},
    };
    for (const auto& c : cases) {
        const Tweaks::Tweak tweak(c.text);
        EXPECT_EQ(tweak.m_isNumber, c.isNumber) << c.text;
        EXPECT_EQ(tweak.m_value, c.value) << c.text;  // 0 for a text: never left unset
        EXPECT_EQ(tweak.m_text, c.innerText) << c.text;
        EXPECT_EQ(tweak.toString(), c.shown) << c.text;
        if (c.isNumber) {
            EXPECT_EQ(tweak.longVal(), c.value) << c.text;
        }
    }
}

TEST(TweakValueDeathTest, MalformedValuesEndTheProcess) {
    const char* const notANumber = ",NON,Tweaks::Tweak,Tweak,Assertion \\(false\\) failed ";
    const char* const unclosedQuote =
        ",NON,Tweaks::Tweak,Tweak,Assertion \\(val\\.length\\(\\) > 1 && \\(val\\[val\\.length\\(\\) -1\\] == "
        "'\"'\\)\\) failed ";
    const struct {
        const char* text;
        const char* pattern;
    } cases[] = {
        {"abc", notANumber},
        {"yes please", notANumber},
        {"", notANumber},
        {"0x", notANumber},
        {"99999999999999999999", notANumber},
        {"-9223372036854775809", notANumber},
        {"0xFFFFFFFFFFFFFFFF", notANumber},
        {"\"", unclosedQuote},
        {"\"abc", unclosedQuote},
        {"\"a", unclosedQuote},
    };
    for (const auto& c : cases) {
        EXPECT_EXIT(Tweaks::Tweak tweak(c.text), ::testing::ExitedWithCode(kFatalStopExitCode), c.pattern) << c.text;
    }
}

TEST(CaseInsensitiveLessTest, FoldsOnlyAsciiLettersAndComparesUnsignedBytes) {
    const struct {
        const char* a;
        const char* b;
        bool less;
    } cases[] = {
        {"a", "B", true},    {"B", "a", false},       {"t_A", "t_a", false}, {"t_a", "t_A", false},
        {"ab", "ABC", true}, {"ABC", "ab", false},    {"_", "A", true},      // "A" folds to 0x61, above "_"
        {"Z", "_", false},   {"z", "\xE9", true},     {"\xC9", "\xE9", true},  // only "A" to "Z" fold
        {"", "a", true},     {"", "", false},
    };
    const CaseInsensitiveLess less;
    for (const auto& c : cases) EXPECT_EQ(less(c.a, c.b), c.less) << c.a << " < " << c.b;
}

TEST(TweakLinesTest, SplitsCommentsNamesAndValues) {
    const std::string line511 = longLine("t_b=2 ;", 511);
    const std::string line512 = longLine("t_b=2 ;", 512);
    const std::string comment511 = line511.substr(7);
    const struct {
        const char* what;
        std::string input;
        std::vector<std::vector<std::string>> lines;  // name, value, comment
    } cases[] = {
        {"blanks around the parts", "  t_a = 0x1F ; a comment \n", {{"t_a", "0x1F", "a comment"}}},
        {"tabs and a carriage return", "\tt_b\t=\t2\t\r\n", {{"t_b", "2", ""}}},
        {"blank and comment-only lines", "\n   \n; only a comment\n\t\r\n", {}},
        {"the first = splits", "a=b=c\n", {{"a", "b=c", ""}}},
        {"empty name and empty value pass", "=5\nt_a=\n", {{"", "5", ""}, {"t_a", "", ""}}},
        {"a line without = is skipped", "garbage\nt_b=2\n", {{"t_b", "2", ""}}},
        {"a ; inside quotes starts the comment", "t_s=\"a;b\"\n", {{"t_s", "\"a", "b\""}}},
        {"the text ends at a NUL byte", std::string("t_c=1\0junk\nt_d=2\n", 17), {{"t_c", "1", ""}, {"t_d", "2", ""}}},
        {"a last line without its line feed", "t_a=1\nt_c=3", {{"t_a", "1", ""}, {"t_c", "3", ""}}},
        {"511 characters are a line", "t_a=1\n" + line511 + "\nt_c=3",
         {{"t_a", "1", ""}, {"t_b", "2", comment511}, {"t_c", "3", ""}}},
        {"512 characters end the input", "t_a=1\n" + line512 + "\nt_c=3\n", {{"t_a", "1", ""}}},
        {"511 characters and CR LF end the input", "t_a=1\n" + line511 + "\r\nt_c=3\n", {{"t_a", "1", ""}}},
    };
    for (const auto& c : cases) {
        std::istringstream in(c.input);
        std::vector<std::vector<std::string>> lines;
        for (const auto& line : Tweaks::getTweaksFromStream(in, false)) {
            lines.push_back({line.name, line.value, line.comment});
        }
        EXPECT_EQ(lines, c.lines) << c.what;
    }
}

// Space, tab, carriage return and line feed are blank; nothing else is.
TEST(TrimTest, RemovesExactlyTheFourBlankCharacters) {
    const struct {
        std::string text;
        std::string trimmed;
    } cases[] = {
        {" \t\r\nx y\n\r\t ", "x y"},
        {"\vx\f", "\vx\f"},
        {" \v ", "\v"},
        {"\f\t", "\f"},
        {std::string(" \0 ", 3), std::string("\0", 1)},
        {"\xA0x\x85", "\xA0x\x85"},
        {" \t\r\n", ""},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(trim(c.text), c.trimmed) << testing::PrintToString(c.text);
}

TEST(TweaksTest, GettersReturnValuesAndDefaultsInTheirRange) {
    enum Getter { Long, Int, Uint };
    const struct {
        Getter getter;
        const char* value;  // nullptr: the tweak is absent and the default is used
        i64 def;
        i64 expected;
    } cases[] = {
        {Int, "2147483647", 0, 2147483647},
        {Int, "-2147483647", 0, -2147483647},
        {Int, "0x7FFFFFFF", 0, 2147483647},
        {Uint, "4294967295", 0, 4294967295},
        {Uint, "0", 7, 0},
        {Long, "-9223372036854775808", 0, LLONG_MIN},
        {Long, "on", 0, 1},
        {Int, nullptr, -2147483647, -2147483647},
        {Int, nullptr, -1, -1},                  // sign-extended
        {Uint, nullptr, 4294967295, 4294967295},  // zero-extended
        {Long, nullptr, LLONG_MIN, LLONG_MIN},
    };
    Tweaks* tweaks = Tweaks::instance();
    for (const auto& c : cases) {
        tweaks->update("t_getterCase", c.value ? c.value : "");
        i64 got = 0;
        switch (c.getter) {
            case Long: got = tweaks->longVal("t_getterCase", c.def); break;
            case Int: got = tweaks->intVal("t_getterCase", static_cast<i32>(c.def)); break;
            case Uint: got = tweaks->uintVal("t_getterCase", static_cast<u32>(c.def)); break;
        }
        EXPECT_EQ(got, c.expected) << (c.value ? c.value : "default") << " getter " << c.getter;
    }
}

TEST(TweaksDeathTest, OutOfRangeValuesEndTheProcess) {
    const char* const aboveInt = ",NON,Tweaks,intVal,Assertion \\(ival <= \\(\\(u32\\)-1\\) / 2\\) failed ";
    const char* const belowInt = ",NON,Tweaks,intVal,Assertion \\(-1 \\* ival <= \\(\\(u32\\)-1\\) / 2\\) failed ";
    const char* const negativeUint = ",NON,Tweaks,uintVal,Assertion \\(ival >= 0\\) failed ";
    const char* const aboveUint = ",NON,Tweaks,uintVal,Assertion \\(ival <= \\(\\(u32\\)-1\\)\\) failed ";
    const struct {
        bool asInt;  // else as uint
        const char* value;  // nullptr: absent, the default is used
        const char* pattern;
    } cases[] = {
        {true, "2147483648", aboveInt},
        {true, "-2147483648", belowInt},
        {true, "-9223372036854775808", belowInt},
        {true, nullptr, belowInt},  // the default INT_MIN
        {false, "-1", negativeUint},
        {false, "4294967296", aboveUint},
    };
    for (const auto& c : cases) {
        EXPECT_EXIT(
            {
                Tweaks* tweaks = Tweaks::instance();
                if (c.value) tweaks->update("t_rangeCase", c.value);
                if (c.asInt) {
                    tweaks->intVal("t_rangeCase", INT_MIN);
                } else {
                    tweaks->uintVal("t_rangeCase");
                }
            },
            ::testing::ExitedWithCode(kFatalStopExitCode), c.pattern)
            << (c.value ? c.value : "default");
    }
}

TEST(TweaksDeathTest, AbsentTweakWithoutDefaultEndsTheProcess) {
    EXPECT_EXIT(
        {
            echoErrorsToStderr();
            Tweaks::instance()->intVal("t_neverSet");
        },
        ::testing::ExitedWithCode(kFatalStopExitCode),
        ",Error,.*,NON,Tweaks,longVal,tweak \"t_neverSet\" not found\n"
        ".*,Error,.*,NON,Tweaks,longVal,Assertion \\(false\\) failed ");
}

TEST(TweaksDeathTest, TextReadAsNumberEndsTheProcess) {
    EXPECT_EXIT(
        {
            echoErrorsToStderr();
            Tweaks::instance()->update("t_text", "\"hello\"");
            Tweaks::instance()->longVal("t_text", 5);
        },
        ::testing::ExitedWithCode(kFatalStopExitCode),
        ",NON,Tweaks::Tweak,longVal,value is not int\n"
        ".*,Error,.*,NON,Tweaks::Tweak,longVal,Assertion \\(false\\) failed ");
}

TEST(TweaksTest, UpdateSetsReplacesAndRemoves) {
    Tweaks* tweaks = Tweaks::instance();
    const struct {
        const char* name;
        const char* value;
        const char* previous;
    } cases[] = {
        {"t_updated", "5", ""},
        {"T_UPDATED", "\"txt\"", "5"},
        {"t_updated", "", "\"txt\""},
        {"t_updated", "", ""},
    };
    for (const auto& c : cases) {
        sharedClient().clear();
        EXPECT_EQ(tweaks->update(c.name, c.value), c.previous) << c.name << "=" << c.value;
        EXPECT_EQ(loggedLines("Info"), std::string("Info,NON,Tweaks,update,Updating tweak:  name=") + c.name +
                                           "  val=" + c.value + "  ret=" + c.previous + " \n");
    }
    EXPECT_EQ(tweaks->longVal("t_updated", -1), -1);
}

// The memory report's "Tweaks" line follows every update: it counts the tweaks the registry prints.
TEST(TweaksTest, MemoryReportCountsTheTweaksAfterEveryUpdate) {
    Tweaks* tweaks = Tweaks::instance();
    const auto reported = [] {
        sharedClient().clear();
        MemWatchedContainerDatabase::instance()->printWatchedContainers();
        const std::string marker = ",ContainerName = Tweaks items = ";
        std::vector<u64> counts;
        for (const auto& line : sharedClient().lines()) {
            const size_t at = line.find(marker);
            if (at != std::string::npos) counts.push_back(std::stoull(line.substr(at + marker.size())));
        }
        EXPECT_EQ(counts.size(), 1u);
        return counts.empty() ? ~0ull : counts[0];
    };
    const auto printed = [tweaks] {
        sharedClient().clear();
        tweaks->print();
        u64 count = 0;
        for (const auto& line : sharedClient().lines()) {
            count += line.find(",Tweaks,print,") != std::string::npos &&
                     line.find(",Tweaks,print,tweaks are empty") == std::string::npos;
        }
        return count;
    };
    const u64 before = printed();
    ASSERT_EQ(reported(), before);
    const struct {
        const char* name;
        const char* value;
        u64 count;  // tweaks beyond those before
    } steps[] = {
        {"t_reported", "1", 1}, {"t_reportedToo", "\"t\"", 2}, {"T_REPORTED", "2", 2},
        {"t_reported", "", 1},  {"t_reported", "", 1},         {"t_reportedToo", "", 0},
    };
    for (const auto& step : steps) {
        tweaks->update(step.name, step.value);
        EXPECT_EQ(reported(), before + step.count) << step.name << "=" << step.value;
        EXPECT_EQ(printed(), before + step.count) << step.name << "=" << step.value;
    }
}

TEST(TweaksTest, DefaultsApplyOnlyToNamesNotSet) {
    Tweaks* tweaks = Tweaks::instance();
    sharedClient().clear();
    EXPECT_TRUE(tweaks->setDefaultValIfNotSet("t_withDefault", "5"));
    EXPECT_EQ(loggedLines(),
              "Info,NON,Tweaks,setDefaultValIfNotSet,default tweak added:  name=t_withDefault  val=5  ret= \n");

    sharedClient().clear();
    EXPECT_FALSE(tweaks->setDefaultValIfNotSet("T_WITHDEFAULT", "7"));
    EXPECT_EQ(tweaks->longVal("t_withDefault"), 5);
    EXPECT_EQ(loggedLines("Info"), "");

    tweaks->update("t_setFirst", "1");
    EXPECT_FALSE(tweaks->setDefaultValIfNotSet("t_setFirst", "2"));
    EXPECT_EQ(tweaks->longVal("t_setFirst"), 1);
}

TEST(TweaksDeathTest, EmptyDefaultEndsTheProcess) {
    EXPECT_EXIT(Tweaks::instance()->setDefaultValIfNotSet("t_emptyDefault", ""),
                ::testing::ExitedWithCode(kFatalStopExitCode),
                ",NON,Tweaks::Tweak,Tweak,Assertion \\(false\\) failed ");
}

TEST(TweaksDeathTest, TweakInputAfterConstructionEndsTheProcess) {
    EXPECT_EXIT(
        {
            Tweaks* tweaks = Tweaks::instance();
            redirectStdoutTo("late_input_stdout.txt");
            std::istringstream in("t_late=1\n");
            tweaks->updateFromStream(in, false);
        },
        ::testing::ExitedWithCode(kFatalStopExitCode), "");
    const std::string printed = readFile("late_input_stdout.txt");
    EXPECT_NE(printed.find(",Assert,"), std::string::npos) << printed;
    EXPECT_NE(printed.find(",NON,Tweaks,update, "), std::string::npos) << printed;
    EXPECT_NE(printed.find(": isPeriodicUpdate || !m_isInitialized failed. Trying to update non-periodically after "
                           "initialization\n"),
              std::string::npos)
        << printed;
}

TEST(TweakFilesTest, Paths) {
    EXPECT_EQ(Tweaks::getTweaksDir(), "tesk_tweaks\\\\");
    EXPECT_EQ(Tweaks::getUpgradeSurvivingTweaksPath(), kInFolder);
    EXPECT_EQ(Tweaks::getUpgradeSurvivingTweaksPathWithoutSeparator(), kRunTogether);
}

TEST(TweakFilesTest, WithoutFilesTheRegistryStartsEmpty) {
    const std::string dir = makeFixture("fixture_no_files", {});
    const std::string report = inFreshProcess(dir, [](std::ostream& report) {
        Tweaks* tweaks = Tweaks::instance();
        report << loggedLines();
        report << "test_appdata is a folder: " << fs::is_directory("test_appdata") << "\n";
        sharedClient().clear();
        tweaks->print();
        tweaks->setDefaultValIfNotSet("t_number", "5");
        tweaks->setDefaultValIfNotSet("T_text", "\"some text\"");
        tweaks->print();
        report << loggedLines("Control");
    });
    const std::string notFoundPersistent =
        "Info,NON,ConsistentFile,findLatestValidFileIndex,Not found persistent files";
    const std::string failedOpen = "Error,NON,Tweaks,updateFromFile,Failed to open ";
    const std::string whileUpdating = "while trying to update tweaks from it\n";
    const std::string notFound = "Info,NON,Tweaks,loadFromFiles,local upgrade-surviving tweaks file \"";
    const std::string expected =
        notFoundPersistent + " for index 0\n" +  // the search of the constructor, then that of the load
        notFoundPersistent + " for index 1\n" +
        notFoundPersistent + " for index 0\n" +
        notFoundPersistent + " for index 1\n" +
        "Info,NON,ConsistentFile,load,File does not exist\n" +
        failedOpen + kExtension + whileUpdating +
        "Info,NON,Tweaks,loadFromFiles,local tweaks file \"tweaks_extension.txt\" not found\n" +
        failedOpen + kRunTogether + whileUpdating +
        notFound + kRunTogether + "\" not found\n" +
        failedOpen + kInFolder + whileUpdating +
        notFound + kInFolder + "\" not found\n" +
        "test_appdata is a folder: 1\n"
        "Control,NON,Tweaks,print,tweaks are empty\n"
        "Control,NON,Tweaks,print,t_number=5\n"
        "Control,NON,Tweaks,print,T_text=\"some text\"\n"
        "stdout:\n";
    EXPECT_EQ(report, expected);
}

TEST(TweakFilesTest, LaterFilesOverrideEarlierOnesNameByName) {
    std::vector<FixtureFile> files = versioned("t_v=1\nt_a=0\nt_b=0\nt_c=0\nt_d=0\n", "240830126");
    files.push_back({kExtension, "t_a=1\nt_b=1\nt_c=1\nt_gone=5\ngarbage\n"});
    files.push_back({kRunTogether, "t_b=2\nt_c=2\nt_gone=\n"});
    files.push_back({kInFolder, "t_C=3\n"});
    const std::string dir = makeFixture("fixture_load_order", files);
    const std::string report = inFreshProcess(dir, [](std::ostream& report) {
        Tweaks* tweaks = Tweaks::instance();
        report << "not found lines: " << (loggedLines().find("not found") != std::string::npos) << "\n";
        for (const char* name : {"t_v", "t_a", "t_b", "t_c", "t_d"}) {
            report << name << " " << tweaks->longVal(name) << "\n";
        }
        report << "t_gone " << tweaks->longVal("t_gone", -1) << "\n";
        report << "default t_gone " << tweaks->setDefaultValIfNotSet("t_gone", "7") << "\n";
        report << "default T_V " << tweaks->setDefaultValIfNotSet("T_V", "9") << "\n";
        sharedClient().clear();
        tweaks->print();
        report << loggedLines("Control");
    });
    EXPECT_EQ(report,
              "not found lines: 0\n"
              "t_v 1\nt_a 1\nt_b 2\nt_c 3\nt_d 0\n"
              "t_gone -1\n"
              "default t_gone 1\n"
              "default T_V 0\n"
              "Control,NON,Tweaks,print,t_a=1\n"
              "Control,NON,Tweaks,print,t_b=2\n"
              "Control,NON,Tweaks,print,t_C=3\n"
              "Control,NON,Tweaks,print,t_d=0\n"
              "Control,NON,Tweaks,print,t_gone=7\n"
              "Control,NON,Tweaks,print,t_v=1\n"
              "stdout:\n");
}

// A carriage return inside a name or a value of a tweak file ends no log record: the loading and the print show it
// as "\r".
TEST(TweakFilesTest, CarriageReturnsInsideANameOrValueAreLoggedVisibly) {
    const std::string forged = "2026-01-01 00:00:00.000,Info,1,NON,,wmain,Vantrell.exe done.";  // no "=" nor ";"
    const std::string dir = makeFixture(
        "fixture_carriage_returns", {{kExtension, "t_cr\r" + forged + "=1\nt_text=\"a\r" + forged + "\"\r\n"}});
    const std::string report = inFreshProcess(dir, [](std::ostream& report) {
        Tweaks* tweaks = Tweaks::instance();
        std::istringstream loading(loggedLines("Info"));
        for (std::string line; std::getline(loading, line);) {
            if (line.find("Updating tweak:") != std::string::npos) report << line << "\n";
        }
        sharedClient().clear();
        tweaks->print();
        report << loggedLines("Control");
        // Every record one line: a raw line end would start a record of its own.
        for (const std::string& line : sharedClient().lines()) {
            if (line.find('\r') != std::string::npos || line.find('\n') + 1 != line.size()) report << "raw: " << line;
        }
    });
    const std::string shown = "\\r" + forged;
    EXPECT_EQ(report,
              "Info,NON,Tweaks,update,Updating tweak:  name=t_cr" + shown + "  val=1  ret= \n"
              "Info,NON,Tweaks,update,Updating tweak:  name=t_text  val=\"a" + shown + "\"  ret= \n"
              "Control,NON,Tweaks,print,t_cr" + shown + "=1\n"
              "Control,NON,Tweaks,print,t_text=\"a" + shown + "\"\n"
              "stdout:\n");
}

TEST(TweakFilesTest, NameGivenTwiceInAPlainFileSetsNeitherValue) {
    std::vector<FixtureFile> files = versioned("t_a=9\n", "3662296175");
    files.push_back({kExtension, "t_a=1\nt_a=2\nt_b=1\nT_B=2\n"});
    const std::string dir = makeFixture("fixture_duplicates", files);
    const std::string report = inFreshProcess(dir, [](std::ostream& report) {
        Tweaks* tweaks = Tweaks::instance();
        report << "t_a " << tweaks->longVal("t_a") << "\nt_b " << tweaks->longVal("t_b") << "\n";
        std::istringstream errors(loggedLines("Error"));
        for (std::string line; std::getline(errors, line);) {
            if (line.find("multiple") != std::string::npos) report << line << "\n";
        }
    });
    const std::string reported = "multiple definition for tweak \"t_a\"\n";
    EXPECT_EQ(report, "t_a 9\nt_b 2\n"
                      "Error,NON,Tweaks,update," + reported + "Error,NON,Tweaks,update," + reported +
                      "stdout:\n" + reported + reported);
}

// A folder named like a tweak file fails the open, on Linux as on Windows: the lines of a missing file.
TEST(TweakFilesTest, FolderNamedLikeATweakFileIsNotRead) {
    const std::string dir = makeFixture("fixture_folder_as_file", {{std::string(kExtension) + "\\inside.txt", "t_a=1\n"}});
    const std::string report = inFreshProcess(dir, [](std::ostream& report) {
        Tweaks::instance();
        std::istringstream lines(loggedLines());
        for (std::string line; std::getline(lines, line);) {
            if (line.find(kExtension) != std::string::npos) report << line << "\n";
        }
        report << "t_a " << Tweaks::instance()->longVal("t_a", -1) << "\n";
    });
    EXPECT_EQ(report, std::string("Error,NON,Tweaks,updateFromFile,Failed to open ") + kExtension +
                          "while trying to update tweaks from it\n"
                          "Info,NON,Tweaks,loadFromFiles,local tweaks file \"tweaks_extension.txt\" not found\n"
                          "t_a -1\n"
                          "stdout:\n");
}

// Start-up stays linear in the size of a tweak file: each name is counted once.
TEST(TweakFilesTest, LargeFileLoadsInLinearTime) {
    constexpr int kLines = 10000;
    std::string text;
    for (int i = 0; i < kLines; ++i) text += "t_n" + std::to_string(i) + "=" + std::to_string(i) + "\n";
    text += "t_n7=again\n";  // one name given twice: neither value is set
    const std::string dir = makeFixture("fixture_large_file", {{kExtension, text}});
    const std::string report = inFreshProcess(dir, [](std::ostream& report) {
        const auto start = std::chrono::steady_clock::now();
        Tweaks* tweaks = Tweaks::instance();
        const auto seconds =
            std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start).count();
        report << "fast: " << (seconds < 5) << "\n";  // under a second with the sanitizers; counting per line, 10 s
        report << tweaks->longVal("t_n0", -1) << " " << tweaks->longVal("t_n7", -1) << " "
               << tweaks->longVal("t_n9999", -1) << "\n";
    });
    EXPECT_EQ(report, "fast: 1\n0 -1 9999\nstdout:\nmultiple definition for tweak \"t_n7\"\n"
                      "multiple definition for tweak \"t_n7\"\n");
}

TEST(TweakFilesTest, OverlongLineEndsTheReadingOfItsFileOnly) {
    const std::vector<FixtureFile> files = {
        {kExtension, "t_a=1\n" + longLine("t_b=2 ;", 511) + "\nt_c=3\n" + longLine("t_d=4 ;", 512) + "\nt_e=5\n"},
        {kRunTogether, longLine("t_f=6 ;", 511) + "\r\nt_g=7\n"},
        {kInFolder, std::string("t_p\0=3\nt_h=8", 12)},
    };
    const std::string dir = makeFixture("fixture_long_lines", files);
    const std::string report = inFreshProcess(dir, [](std::ostream& report) {
        Tweaks::instance();
        sharedClient().clear();
        Tweaks::instance()->print();
        report << loggedLines("Control");
    });
    EXPECT_EQ(report,
              "Control,NON,Tweaks,print,t_a=1\n"
              "Control,NON,Tweaks,print,t_b=2\n"
              "Control,NON,Tweaks,print,t_c=3\n"
              "Control,NON,Tweaks,print,t_h=8\n"
              "stdout:\n");
}

// A tweak file that an administrator got wrong stops the program at start, with its line on standard error (or, for
// the checks of the Assert level, on standard output).
TEST(TweakFilesDeathTest, MalformedFileEndsTheProcessWithItsLine) {
    const struct {
        const char* name;
        std::vector<FixtureFile> files;
        const char* stderrPattern;
        std::vector<std::string> printed;  // texts expected on standard output
    } cases[] = {
        {"fixture_strict_no_equals", versioned("t_a=1\ngarbage\n", "708755218"),
         ",NON,Tweaks,getTweaksFromStream,Assertion \\(false\\) failed ", {}},
        {"fixture_strict_duplicate", versioned("t_a=1\nt_a=2\n", "871325031"),
         ",NON,Tweaks,update,Assertion \\(!strict\\) failed ", {"multiple definition for tweak \"t_a\"\n"}},
        {"fixture_bad_crc", versioned("t_a=1\n", "1"), "",
         {",Assert,", ",NON,Tweaks,loadFromFiles, ", ": false failed. Could not load consistent tweak information\n"}},
        {"fixture_incomplete_pair", {{"tesk_tweaks\\\\tweaks.txt.0", "t_a=1\n"}}, "",
         {",NON,Tweaks,loadFromFiles, ", ": false failed. Could not load consistent tweak information\n"}},
        {"fixture_unclosed_quote", {{kExtension, "t_s=\"a;b\"\n"}},
         ",NON,Tweaks::Tweak,Tweak,Assertion \\(val\\.length\\(\\) > 1 && ", {}},
        {"fixture_unquoted_text", {{kInFolder, "t_s=abc\n"}}, ",NON,Tweaks::Tweak,Tweak,Assertion \\(false\\) failed ",
         {}},
    };
    for (const auto& c : cases) {
        const std::string dir = makeFixture(c.name, c.files);
        const std::string stdoutPath = absolute(dir + ".stdout");
        EXPECT_EXIT(
            {
                fs::current_path(nativePath(dir));
                redirectStdoutTo(stdoutPath);
                Tweaks::instance();
            },
            ::testing::ExitedWithCode(kFatalStopExitCode), c.stderrPattern)
            << c.name;
        const std::string printed = readFile(stdoutPath);
        for (const auto& text : c.printed) {
            EXPECT_NE(printed.find(text), std::string::npos) << c.name << ": " << printed;
        }
        if (c.printed.empty()) {
            EXPECT_EQ(printed, "") << c.name;
        }
    }
}

TEST(TweakFilesTest, CacheMadeAfterLoadingHoldsTheFilesValues) {
    const std::string dir = makeFixture(
        "fixture_dynamic", {{kExtension, "t_IOVerboseLogs=true\nt_HultS3VerifySSL=0x10\nt_HultTestsVerboseLogs=0\n"
                                         "t_defaultDlcTimeoutSec=120\n"}});
    const std::string report = inFreshProcess(dir, [](std::ostream& report) {
        DynamicTweaks* cache = DynamicTweaks::instance();  // built from what the files set
        report << cache->t_IOVerboseLogs.load() << cache->t_HultS3VerifySSL.load()
               << cache->t_HultTestsVerboseLogs.load() << cache->m_streamReaderOrIoVerbose.load()
               << cache->m_hultPorterOrIoVerbose.load() << cache->m_batchIoOrCloudOrIoVerbose.load()
               << cache->m_httpCurlOrIoVerbose.load() << cache->m_hultBackupOrRestoreVerbose.load() << " "
               << cache->getDefaultDlcTimeoutSec() << "\n";
    });
    EXPECT_EQ(report.substr(0, report.find("stdout:")), "11011110 120\n");
}
