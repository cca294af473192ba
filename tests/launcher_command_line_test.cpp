// The launcher's command line for the agent, its configuration file, and the round trip of a typed name through
// a real process start into a program that enters as the agent does. Runs on both builds: the configuration file
// sits beside this test program and the "Vantrell" found there is the argument dump (tests/helpers).
#include "AgentSandbox.h"
#include "CheckpointLauncher.h"
#include "MachineSupport.h"
#include "TestSupport.h"
#include "WideText.h"

#include <windows.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <thread>

namespace fs = std::filesystem;

namespace {

const char* const kServers = "h 8080 0.0.0.0 8081\n";

std::string ownPath() {
    char path[MAX_PATH] = {};
    GetModuleFileNameA(NULL, path, MAX_PATH);
    return path;
}

// The arguments the dump program wrote, once it has; nothing after `ms`.
std::optional<std::vector<std::string>> waitForDump(const std::string& path, int ms = 30000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    // Complete once the closing line end is there.
    std::string text;
    while (!fs::exists(path) || (text = readFile(path)).empty() || text.back() != '\n') {
        if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    text.pop_back();
    std::vector<std::string> args;
    size_t start = 0;
    for (size_t zero; (zero = text.find('\0', start)) != std::string::npos; start = zero + 1) {
        args.push_back(text.substr(start, zero - start));
    }
    return args;
}

// Runs the launcher's start of the agent with the configuration `config` (none when nullopt) beside this program.
class LauncherRun : public ::testing::Test {
protected:
    void SetUp() override { sharedClient().clear(); }
    void TearDown() override {
        std::error_code ignored;
        fs::remove(configPath(), ignored);
    }
    static std::string configPath() { return ownPath() + ".conf"; }

    struct Result {
        std::optional<std::vector<std::string>> args;  // what the started program got after its name
        std::vector<LogLine> log;                       // lines of runAgent
    };

    Result run(const std::optional<std::string>& config, std::wstring name) {
        std::error_code ignored;
        fs::remove(configPath(), ignored);
        if (config) std::ofstream(configPath(), std::ios::binary) << *config;
        const std::string dump = fs::absolute(uniqueName("argv")).string();
        setEnvironment("TALVO_ARGV_DUMP", dump);
        sharedClient().clear();
        runAgent(name);
        Result result;
        result.args = waitForDump(dump);
        std::string text;
        for (const auto& line : sharedClient().lines()) text += line + "\n";
        for (const auto& line : parseLogLines(text)) {
            if (line.method == "runAgent") result.log.push_back(line);
        }
        return result;
    }

    static std::string messageStartingWith(const std::vector<LogLine>& log, const std::string& prefix) {
        for (const auto& line : log) {
            if (line.message.compare(0, prefix.size(), prefix) == 0) return line.message;
        }
        return "<none>";
    }
    static std::vector<std::string> errors(const std::vector<LogLine>& log) {
        std::vector<std::string> out;
        for (const auto& line : log) {
            if (line.level == "Error") out.push_back(line.message);
        }
        return out;
    }
};

LauncherConfig servers() {
    LauncherConfig config;
    config.localURL = "h";
    config.localPort = "8080";
    config.peerURL = "0.0.0.0";
    config.peerPort = "8081";
    return config;
}

}  // namespace

// The name goes in quoted so that the runtime's split gives it back; a name without a quote and without a
// trailing backslash keeps the plain form.
TEST(AgentCommandLine, QuotesTheNameByTheRuntimeRules) {
    const struct {
        std::wstring name;
        std::wstring expected;
    } cases[] = {
        {L"cp 1", LR"(Vantrell.exe -GUI h 8080 0.0.0.0 8081 "cp 1")"},
        {L"a\\b c", LR"(Vantrell.exe -GUI h 8080 0.0.0.0 8081 "a\b c")"},
        {L"", LR"(Vantrell.exe -GUI h 8080 0.0.0.0 8081 "")"},
        {LR"(my "best" cp)", LR"(Vantrell.exe -GUI h 8080 0.0.0.0 8081 "my \"best\" cp")"},
        {LR"(a\"b)", LR"(Vantrell.exe -GUI h 8080 0.0.0.0 8081 "a\\\"b")"},
        {LR"(abc\)", LR"(Vantrell.exe -GUI h 8080 0.0.0.0 8081 "abc\\")"},
        {LR"(abc\\)", LR"(Vantrell.exe -GUI h 8080 0.0.0.0 8081 "abc\\\\")"},
        {LR"(x" volumes=C: backupType="5)", LR"(Vantrell.exe -GUI h 8080 0.0.0.0 8081 "x\" volumes=C: backupType=\"5")"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(toUtf8(buildAgentCommandLine(servers(), c.name)), toUtf8(c.expected)) << toUtf8(c.name);
    }
}

// A server value stands as read unless it holds a quote; then it is quoted as the name is, so that the runtime's
// split gives back the value and the name stays one argument of its own.
TEST(AgentCommandLine, QuotesAConfigurationValueOnlyWhenItHoldsAQuote) {
    const struct {
        std::vector<std::string> values;
        std::wstring expected;
    } cases[] = {
        {{"h", "8080", "0.0.0.0", "8081"}, LR"(Vantrell.exe -GUI h 8080 0.0.0.0 8081 "n")"},
        {{R"(C:\h\)", R"(80\80)", R"(\\)", R"(8081\)"}, LR"(Vantrell.exe -GUI C:\h\ 80\80 \\ 8081\ "n")"},
        {{"h", "8080", "0.0.0.0", R"(0")"}, LR"(Vantrell.exe -GUI h 8080 0.0.0.0 "0\"" "n")"},
        {{R"(127.0.0.1")", R"(volumes="X:)", "0.0.0.0", "8081"},
         LR"(Vantrell.exe -GUI "127.0.0.1\"" "volumes=\"X:" 0.0.0.0 8081 "n")"},
        {{R"(")", R"("")", R"(a\"b)", R"(a\\"b\)"}, LR"(Vantrell.exe -GUI "\"" "\"\"" "a\\\"b" "a\\\\\"b\\" "n")"},
        {{"h", "", "", ""}, LR"(Vantrell.exe -GUI h    "n")"},
    };
    for (const auto& c : cases) {
        LauncherConfig config;
        config.localURL = c.values[0];
        config.localPort = c.values[1];
        config.peerURL = c.values[2];
        config.peerPort = c.values[3];
        EXPECT_EQ(toUtf8(buildAgentCommandLine(config, L"n")), toUtf8(c.expected)) << toUtf8(c.expected);
    }
}

// The configuration's bytes are widened one to one, whatever the locale.
TEST(AgentCommandLine, WidensConfigurationBytesByValue) {
    LauncherConfig config = servers();
    config.localURL = "h\xE9\xFF";
    const std::wstring line = buildAgentCommandLine(config, L"n");
    EXPECT_EQ(line.substr(0, 21), std::wstring(L"Vantrell.exe -GUI h") + wchar_t(0xE9) + wchar_t(0xFF));
}

// Every name arrives at the started program as one argument equal to the name, after the four server values.
TEST_F(LauncherRun, NameReachesTheAgentAsOneArgumentExactly) {
    const std::wstring names[] = {
        L"cp1",
        L"cp 1",
        LR"(my "best" cp)",
        LR"(my "best cp)",
        LR"(a\"b)",
        LR"(a\\"b)",
        LR"(abc\)",
        LR"(abc\\)",
        LR"(x" volumes=C: backupType="5)",
        LR"(x" -GUI "y)",
        L"a\tb",
        L"smile \U0001F600",
        std::wstring(5000, L'k') + L" \\\" " + std::wstring(5000, L'z'),
    };
    for (const auto& name : names) {
        const Result result = run(std::string(kServers), name);
        ASSERT_TRUE(result.args.has_value()) << "not started: " << toUtf8(name).substr(0, 60);
        const std::vector<std::string> expected{"-GUI", "h", "8080", "0.0.0.0", "8081", toUtf8(name)};
        EXPECT_EQ(*result.args, expected) << toUtf8(name).substr(0, 60);
    }
}

// Each value of the configuration file reaches the started program as one argument equal to what the file holds,
// and the name after them as one of its own: a quote in a value neither merges values nor opens the name's
// quoting. An ordinary file keeps the plain line.
TEST_F(LauncherRun, ConfigurationValuesReachTheAgentAsTheFileHoldsThem) {
    const struct {
        const char* content;
        std::wstring name;
        std::vector<std::string> values;
        const char* cmdline;  // nullptr: not pinned
    } cases[] = {
        {R"(h 8080 0.0.0.0 0")", L"x volumes=X: backupType=1", {"h", "8080", "0.0.0.0", R"(0")"}, nullptr},
        {R"(127.0.0.1" volumes="X: 8080 0.0.0.0)", L"cp", {R"(127.0.0.1")", R"(volumes="X:)", "8080", "0.0.0.0"},
         nullptr},
        {R"(" "" \" a\\"b\)", L"n \\", {R"(")", R"("")", R"(\")", R"(a\\"b\)"}, nullptr},
        {R"(h\ 80\80 \\ 8081\)", LR"(a"b\)", {R"(h\)", R"(80\80)", R"(\\)", R"(8081\)"},
         R"(Vantrell.exe -GUI h\ 80\80 \\ 8081\ "a\"b\\")"},
        {"C:\\h 8080 0.0.0.0 8081", L"cp 1", {"C:\\h", "8080", "0.0.0.0", "8081"},
         "Vantrell.exe -GUI C:\\h 8080 0.0.0.0 8081 \"cp 1\""},
    };
    for (const auto& c : cases) {
        const Result result = run(std::string(c.content), c.name);
        ASSERT_TRUE(result.args.has_value()) << "not started: " << c.content;
        std::vector<std::string> expected{"-GUI"};
        expected.insert(expected.end(), c.values.begin(), c.values.end());
        expected.push_back(toUtf8(c.name));
        EXPECT_EQ(*result.args, expected) << c.content;
        EXPECT_TRUE(errors(result.log).empty()) << c.content;
        if (c.cmdline) {
            EXPECT_EQ(messageStartingWith(result.log, "cmdline: "), std::string("cmdline: ") + c.cmdline) << c.content;
        }
    }
}

TEST_F(LauncherRun, ReturnsWithoutWaitingForTheAgent) {
    setEnvironment("TALVO_ARGV_DUMP_SLEEP_MS", "2000");
    const auto started = std::chrono::steady_clock::now();
    std::wstring name = L"cp 1";
    const std::string dump = fs::absolute(uniqueName("argv")).string();
    setEnvironment("TALVO_ARGV_DUMP", dump);
    std::ofstream(configPath(), std::ios::binary) << kServers;
    runAgent(name);
    const auto took = std::chrono::steady_clock::now() - started;
    setEnvironment("TALVO_ARGV_DUMP_SLEEP_MS", "0");
    EXPECT_LT(took, std::chrono::milliseconds(1500));
    EXPECT_FALSE(fs::exists(dump)) << "runAgent returned only after the agent had run";
    ASSERT_TRUE(waitForDump(dump).has_value());
}

// Each row pins the values read, the line the agent gets and the Error line; the agent is started all the same.
TEST_F(LauncherRun, ConfigurationFileRows) {
    const std::string path = configPath();
    const struct {
        const char* what;
        std::optional<std::string> content;
        std::vector<std::string> values;
        std::vector<std::string> errors;
    } cases[] = {
        {"one line", std::string("h 8080 0.0.0.0 8081"), {"h", "8080", "0.0.0.0", "8081"}, {}},
        {"four lines", std::string("h\r\n8080\n\t0.0.0.0\n8081\n"), {"h", "8080", "0.0.0.0", "8081"}, {}},
        {"five values", std::string("h 8080 0.0.0.0 8081 extra"), {"h", "8080", "0.0.0.0", "8081"}, {}},
        {"three values",
         std::string("h 8080 0.0.0.0\n"),
         {"h", "8080", "0.0.0.0", ""},
         {"Configuration file " + path + " holds 3 of 4 values."}},
        {"empty", std::string(""), {"", "", "", ""}, {"Configuration file " + path + " holds 0 of 4 values."}},
        {"missing", std::nullopt, {"", "", "", ""}, {"Configuration file " + path + " could not be opened."}},
    };
    for (const auto& c : cases) {
        const Result result = run(c.content, L"cp");
        EXPECT_EQ(messageStartingWith(result.log, "GetModuleFileNameA"),
                  "GetModuleFileNameA retrieved the following file name: " + ownPath())
            << c.what;
        EXPECT_EQ(messageStartingWith(result.log, "Configuration file name: "), "Configuration file name: " + path)
            << c.what;
        EXPECT_EQ(messageStartingWith(result.log, "localURL: "), "localURL: " + c.values[0]) << c.what;
        EXPECT_EQ(messageStartingWith(result.log, "localPort: "), "localPort: " + c.values[1]) << c.what;
        EXPECT_EQ(messageStartingWith(result.log, "peerURL: "), "peerURL: " + c.values[2]) << c.what;
        EXPECT_EQ(messageStartingWith(result.log, "peerPort: "), "peerPort: " + c.values[3]) << c.what;
        const std::string line = "Vantrell.exe -GUI " + c.values[0] + " " + c.values[1] + " " + c.values[2] + " " +
                                 c.values[3] + " \"cp\"";
        EXPECT_EQ(messageStartingWith(result.log, "cmdline: "), "cmdline: " + line) << c.what;
        EXPECT_EQ(errors(result.log), c.errors) << c.what;
        ASSERT_TRUE(result.args.has_value()) << c.what;
        std::vector<std::string> expected{"-GUI"};
        for (const auto& value : c.values) {
            if (!value.empty()) expected.push_back(value);
        }
        expected.push_back("cp");
        EXPECT_EQ(*result.args, expected) << c.what;
    }
}
