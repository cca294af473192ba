// The agent's command line, its shared start-up helpers and the wide-text conversion, in process.
#include "AgentInitializer.h"
#include "ArgsParserUtils.h"
#include "ArgumentsParser.h"
#include "TestSupport.h"
#include "WideText.h"

#include <iostream>
#include <sstream>
#include <stdexcept>

namespace {

const std::string kUsage =
    "Usage: Vantrell.exe <local URL> <local port> <peer URL> <peer port> <tag> [keyword=value ...]\n";

// Standard output of the statement run inside, as text.
class CapturedStdout {
public:
    CapturedStdout() : m_old(std::cout.rdbuf(m_text.rdbuf())) {}
    ~CapturedStdout() { std::cout.rdbuf(m_old); }
    std::string text() const { return m_text.str(); }

private:
    std::ostringstream m_text;
    std::streambuf* m_old;
};

// An argv of the program name and `args`.
class Argv {
public:
    explicit Argv(std::vector<std::wstring> args) : m_args(std::move(args)) {
        m_args.insert(m_args.begin(), L"Vantrell.exe");
        for (auto& arg : m_args) m_pointers.push_back(arg.data());
        m_pointers.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(m_args.size()); }
    wchar_t** argv() { return m_pointers.data(); }

private:
    std::vector<std::wstring> m_args;
    std::vector<wchar_t*> m_pointers;
};

// The messages the shared client received from `method` since the last clear.
std::vector<std::string> loggedBy(const std::string& method) {
    std::vector<std::string> messages;
    for (const auto& line : sharedClient().lines()) {
        const std::string marker = "," + method + ",";
        const size_t at = line.find(marker);
        if (at == std::string::npos) continue;
        std::string message = line.substr(at + marker.size());
        while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) message.pop_back();
        messages.push_back(message);
    }
    return messages;
}

struct ParseCase {
    const char* name;
    std::vector<std::wstring> args;
    int result;
    std::string out;
};

}  // namespace

TEST(ParseDrTest, AcceptsOrRejectsEachLineWithItsMessagesInOrder) {
    const std::string unknownVolumes =
        "Keyword is not recognized: Volumes\nAllowed keywords: volumes,backupType,\n" + kUsage;
    const ParseCase cases[] = {
        {"no arguments", {}, 1, kUsage},
        {"four positional values", {L"a", L"1", L"b", L"2"}, 1, kUsage},
        {"five positional values", {L"a", L"1", L"b", L"2", L"tag"}, 0, ""},
        {"empty tag", {L"a", L"1", L"b", L"2", L""}, 1, kUsage},
        {"blank tag", {L"a", L"1", L"b", L"2", L"  "}, 0, ""},
        {"keyword without '='", {L"a", L"1", L"b", L"2", L"t", L"foo"}, 1, "foo is not in keyword=value format\n" + kUsage},
        {"unknown keyword, other case", {L"a", L"1", L"b", L"2", L"t", L"Volumes=x"}, 1, unknownVolumes},
        {"bad keyword after a good one", {L"a", L"1", L"b", L"2", L"t", L"volumes=x", L"bar"}, 1,
         "bar is not in keyword=value format\n" + kUsage},
        {"empty tag and bad keyword: one usage", {L"a", L"1", L"b", L"2", L"", L"x"}, 1,
         "x is not in keyword=value format\n" + kUsage},
        {"unknown keyword as UTF-8", {L"a", L"1", L"b", L"2", L"t", L"\u00e9t\u00e9=1"}, 1,
         "Keyword is not recognized: \xc3\xa9t\xc3\xa9\nAllowed keywords: volumes,backupType,\n" + kUsage},
        {"empty keyword name", {L"a", L"1", L"b", L"2", L"t", L"=x"}, 1,
         "Keyword is not recognized: \nAllowed keywords: volumes,backupType,\n" + kUsage},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sharedClient().clear();
        Argv argv(c.args);
        Arguments arguments;
        int rc;
        std::string out;
        {
            CapturedStdout capture;
            rc = ParseDr(argv.argc(), argv.argv(), arguments);
            out = capture.text();
        }
        EXPECT_EQ(rc, c.result);
        EXPECT_EQ(out, c.out);
        const auto usageLines = loggedBy("printUsage");
        EXPECT_EQ(usageLines, rc == 0 ? std::vector<std::string>{} : std::vector<std::string>{"Had to print usage"});
        if (rc == 0) {
            EXPECT_EQ(arguments.m_snapshotFlow.m_argsRequester.m_backupType, -1);
        }
    }
}

TEST(ParseDrTest, CopiesThePositionalValuesAndReadsTheKeywords) {
    sharedClient().clear();
    Argv argv({L" host ", L"08x", L"0.0.0.0", L"-1", L"name \u65e5\u672c", L"volumes=C:\\,D:\\=x", L"backupType=7",
               L"volumes=ignored"});
    Arguments arguments;
    ASSERT_EQ(ParseDr(argv.argc(), argv.argv(), arguments), 0);
    EXPECT_EQ(arguments.m_localURL, L" host ");
    EXPECT_EQ(arguments.m_localPort, L"08x");
    EXPECT_EQ(arguments.m_peerURL, L"0.0.0.0");
    EXPECT_EQ(arguments.m_peerPort, L"-1");
    EXPECT_EQ(arguments.m_tag, L"name \u65e5\u672c");
    // The value is everything after the first '='; the first "volumes" wins.
    EXPECT_EQ(arguments.m_snapshotFlow.m_argsRequester.m_volumes, (std::vector<std::wstring>{L"C:\\", L"D:\\=x"}));
    EXPECT_EQ(arguments.m_snapshotFlow.m_argsRequester.m_backupType, 7);
    EXPECT_EQ(loggedBy("parse_keyword_args"),
              (std::vector<std::string>{"Keyword argument - volumes: C:\\,D:\\=x", "Keyword argument - backupType: 7",
                                        "Keyword argument - volumes: ignored"}));
    EXPECT_EQ(arguments.isGUI, false);
    EXPECT_EQ(arguments.isExternallyInitiated, false);
}

TEST(ParseDrTest, LeavesTheVolumeListAloneWithoutTheKeyword) {
    Argv argv({L"a", L"1", L"b", L"2", L"t"});
    Arguments arguments;
    arguments.m_snapshotFlow.m_argsRequester.m_volumes = {L"kept"};
    ASSERT_EQ(ParseDr(argv.argc(), argv.argv(), arguments), 0);
    EXPECT_EQ(arguments.m_snapshotFlow.m_argsRequester.m_volumes, std::vector<std::wstring>{L"kept"});
}

TEST(ParseDrTest, ConvertsBackupTypeAsAThirtyTwoBitUnsignedLong) {
    struct Case {
        std::wstring value;
        i32 stored;
    };
    const Case cases[] = {
        {L"5", 5},           {L"5abc", 5},         {L" +7", 7},        {L"\t\n12", 12},
        {L"-1", -1},         {L"4294967295", -1},  {L"-4294967295", 1}, {L"0x10", 0},
        {L"2147483648", static_cast<i32>(0x80000000u)}, {L"0", 0}, {L"00000000000000000000042", 42},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(toUtf8(c.value));
        sharedClient().clear();
        Argv argv({L"a", L"1", L"b", L"2", L"t", L"backupType=" + c.value});
        Arguments arguments;
        ASSERT_EQ(ParseDr(argv.argc(), argv.argv(), arguments), 0);
        EXPECT_EQ(arguments.m_snapshotFlow.m_argsRequester.m_backupType, c.stored);
        EXPECT_EQ(loggedBy("ParseDr"),
                  std::vector<std::string>{"Backup type is modified to:  arguments.m_snapshotFlow.m_argsRequester."
                                           "m_backupType=" +
                                           std::to_string(static_cast<u32>(c.stored)) + " "});
    }
}

TEST(ParseDrTest, ThrowsTheRuntimesExceptionsForABadBackupType) {
    struct Case {
        std::wstring value;
        bool outOfRange;
    };
    const Case cases[] = {
        {L"abc", false},         {L"", false},          {L"-", false},
        {L"+", false},           {L"  ", false},        {L"x5", false},
        {L"4294967296", true},   {L"-4294967296", true}, {L"99999999999999999999", true},
        {L"18446744073709551616", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(toUtf8(c.value));
        Argv argv({L"a", L"1", L"b", L"2", L"t", L"backupType=" + c.value});
        Arguments arguments;
        try {
            ParseDr(argv.argc(), argv.argv(), arguments);
            ADD_FAILURE() << "no exception";
        } catch (const std::out_of_range& e) {
            EXPECT_TRUE(c.outOfRange);
            EXPECT_STREQ(e.what(), "stoul argument out of range");
        } catch (const std::invalid_argument& e) {
            EXPECT_FALSE(c.outOfRange);
            EXPECT_STREQ(e.what(), "invalid stoul argument");
        }
    }
}

TEST(SplitVolumesArgumentTest, SplitsAtEachCommaAsGetlineDoes) {
    struct Case {
        std::wstring value;
        std::vector<std::wstring> items;
    };
    const Case cases[] = {
        {L"a,b", {L"a", L"b"}},
        {L"a,,b", {L"a", L"", L"b"}},
        {L"a,", {L"a"}},
        {L",", {L""}},
        {L",,", {L"", L""}},
        {L",a", {L"", L"a"}},
        {L"", {}},
        {L"a=b", {L"a=b"}},
        {L" a , b ", {L" a ", L" b "}},
        {L"\\\\?\\Volume{1}\\", {L"\\\\?\\Volume{1}\\"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(toUtf8(c.value));
        std::vector<std::wstring> volumes = {L"left over"};
        splitVolumesArgument(c.value, volumes);
        EXPECT_EQ(volumes, c.items);
    }
}

TEST(CurrentLogFileNameTest, InsertsCurrentBeforeTheLastDot) {
    const std::pair<const char*, const char*> cases[] = {
        {"C:\\ProgramData\\Talvo\\logs\\Vantrell.exe.log", "C:\\ProgramData\\Talvo\\logs\\Vantrell.exe.current.log"},
        {"C:\\a.b\\logs\\Vantrell.exe.log", "C:\\a.b\\logs\\Vantrell.exe.current.log"},
        {"x.y", "x.current.y"},
        {"a.b.c", "a.b.current.c"},
        {"dir.d\\name", "dir.current.d\\name"},  // the search covers the folders too
        {"name.", "name.current."},
        {".log", ".current.log"},
        {"C:\\logs\\Vantrell", "C:\\logs\\Vantrell.current"},  // no '.' at all
        {"", ".current"},
    };
    for (const auto& [path, expected] : cases) {
        SCOPED_TRACE(path);
        EXPECT_EQ(AgentInitializer::currentLogFileName(path), expected);
    }
}

TEST(PrintArgsTest, LogsEachArgumentButTheProgramCutTo49Bytes) {
    const std::wstring sixty(60, L'x');
    const std::wstring fortyNine(49, L'y');
    // Beyond ASCII each character is one '?', a surrogate pair included; so a long line of them is cut at 49.
    const std::wstring wide = L"\u00e9\u65e5" + std::wstring(sizeof(wchar_t) == 2 ? L"\xD83D\xDE00" : L"\U0001F600") + L"z";
    Argv argv({L"-GUI", sixty, fortyNine, wide, L"", std::wstring(55, L'\u00e9')});
    sharedClient().clear();
    ArgsParserUtils::printArgs(argv.argc(), argv.argv());
    EXPECT_EQ(loggedBy("printArgs"),
              (std::vector<std::string>{"arguments are :", "-GUI", std::string(49, 'x'), std::string(49, 'y'),
                                        "???z", "", std::string(49, '?')}));
    for (const auto& line : sharedClient().lines()) EXPECT_NE(line.find("ArgsParserUtils,printArgs,"), std::string::npos);
}

TEST(WideTextTest, EncodesUtf8AndReplacesWhatIsNoCharacter) {
    struct Case {
        std::wstring text;
        std::string utf8;
    };
    std::vector<Case> cases = {
        {L"plain", "plain"},
        {L"\u00e9", "\xc3\xa9"},
        {L"\u65e5\u672c", "\xe6\x97\xa5\xe6\x9c\xac"},
        {L"\uFFFD", "\xef\xbf\xbd"},
        {L"", ""},
    };
    if (sizeof(wchar_t) == 2) {
        cases.push_back({std::wstring{wchar_t(0xD83D), wchar_t(0xDE00)}, "\xf0\x9f\x98\x80"});
        cases.push_back({std::wstring{wchar_t(0xD83D), L'a'}, "\xef\xbf\xbd" "a"});  // lone high surrogate
        cases.push_back({std::wstring{wchar_t(0xDE00)}, "\xef\xbf\xbd"});            // lone low surrogate
        cases.push_back({std::wstring{L'a', wchar_t(0xD83D)}, "a\xef\xbf\xbd"});     // cut pair at the end
    } else {
        cases.push_back({std::wstring{static_cast<wchar_t>(0x1F600)}, "\xf0\x9f\x98\x80"});
        cases.push_back({std::wstring{static_cast<wchar_t>(0x10FFFF)}, "\xf4\x8f\xbf\xbf"});
        cases.push_back({std::wstring{static_cast<wchar_t>(0xD800)}, "\xef\xbf\xbd"});
        cases.push_back({std::wstring{static_cast<wchar_t>(0x110000)}, "\xef\xbf\xbd"});
    }
    for (const auto& c : cases) {
        EXPECT_EQ(toUtf8(c.text), c.utf8);
        EXPECT_EQ(toUtf8(c.text.c_str()), c.utf8);
    }
    EXPECT_EQ(toUtf8(static_cast<const wchar_t*>(nullptr)), "");
}
