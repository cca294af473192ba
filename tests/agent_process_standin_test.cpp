// test-traits: linux-only agent-process
// The Vantrell program as a child process under the stand-in's controls: a log folder that cannot be made, no
// application-data folder at all, and arguments that are not valid UTF-8.
#include "AgentSandbox.h"
#include "TestSupport.h"

#include <filesystem>

namespace fs = std::filesystem;

namespace {

const std::string kUsage =
    "Usage: Vantrell.exe <local URL> <local port> <peer URL> <peer port> <tag> [keyword=value ...]\n";

std::vector<std::string> filesBelow(const std::string& folder) {
    std::vector<std::string> files;
    if (!fs::exists(folder)) return files;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        if (entry.is_regular_file()) files.push_back(entry.path().string());
    }
    return files;
}

}  // namespace

// Without file logs the run still reaches the same end; only what it printed tells the difference.
TEST(AgentProcessStandinTest, RunsWithoutFileLogsWhenTheLogFolderIsMissing) {
    struct Case {
        const char* name;
        std::vector<std::pair<std::string, std::string>> env;
        std::vector<std::string> args;
        int exitCode;
        std::string out;
    };
    const std::string denied = "failed to create directory lastError=5 \n";
    const Case cases[] = {
        {"Talvo cannot be made", {{"TALVO_STANDIN_FAIL_NEXT_CREATE_DIRECTORY", "5"}}, {"a", "1", "b", "2", "t"}, -1006,
         denied},
        {"Talvo cannot be made, usage", {{"TALVO_STANDIN_FAIL_NEXT_CREATE_DIRECTORY", "5"}}, {"a"}, 1, denied + kUsage},
        {"Talvo cannot be made, crash", {{"TALVO_STANDIN_FAIL_NEXT_CREATE_DIRECTORY", "112"}},
         {"a", "1", "b", "2", "t", "backupType=q"}, -1004, "failed to create directory lastError=112 \n"},
        {"no application-data folder", {{"TALVO_COMMON_APPDATA", ""}}, {"a", "1", "b", "2", "t"}, -1006, ""},
        {"no application-data folder, usage", {{"TALVO_COMMON_APPDATA", ""}}, {"a", "1"}, 1, kUsage},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        AgentSandbox sandbox;
        const auto run = sandbox.run(c.args, c.env);
        EXPECT_TRUE(run.result.started);
        EXPECT_FALSE(run.result.timedOut);
        EXPECT_EQ(run.result.exitCode, c.exitCode);
        EXPECT_EQ(run.out, c.out);
        EXPECT_EQ(run.err.find("Sanitizer"), std::string::npos) << run.err;
        // No log file anywhere on the machine's drive (the named objects and the service store live elsewhere).
        EXPECT_EQ(filesBelow(sandbox.machine() + "/drive_c"), std::vector<std::string>{});
        EXPECT_FALSE(fs::exists(sandbox.machine() + "/drive_c/ProgramData/Talvo"));
    }
}

// The same fault on an existing "Talvo" folder's creation is reported too: only "already exists" lets logs start.
TEST(AgentProcessStandinTest, AnExistingLogFolderIsUsed) {
    AgentSandbox sandbox;
    fs::create_directories(sandbox.machine() + "/drive_c/ProgramData/Talvo");
    const auto run = sandbox.run({"a", "1", "b", "2", "t"});
    EXPECT_EQ(run.result.exitCode, -1006);
    EXPECT_EQ(run.out, "");
    EXPECT_TRUE(hasMessage(run.perRunLog, "Vantrell.exe done. ret=-1006 "));
}

// Bytes that are not UTF-8 reach the program as U+FFFD each, never as an error.
TEST(AgentProcessStandinTest, MalformedUtf8ArgumentsBecomeReplacementCharacters) {
    const std::string r = "\xef\xbf\xbd";
    struct Case {
        std::string value;
        std::string logged;
        std::string dumped;
    };
    const Case cases[] = {
        {"a\xff" "b", "a" + r + "b", "a?b"},
        {"\xe6\x97", r + r, "??"},                  // a cut sequence
        {"\xc0\xaf", r + r, "??"},                  // overlong
        {"\xed\xa0\x80", r + r + r, "???"},         // a surrogate
        {"\x80x", r + "x", "?x"},                   // a stray continuation byte
        {"\xe6\x97\xa5\xff", "\xe6\x97\xa5" + r, "??"},
    };
    AgentSandbox sandbox;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.dumped);
        const auto run = sandbox.run({"a", "1", "b", "2", "t", "volumes=" + c.value});
        EXPECT_EQ(run.result.exitCode, -1006);
        EXPECT_EQ(messagesOf(run.perRunLog, "parse_keyword_args"),
                  std::vector<std::string>{"Keyword argument - volumes: " + c.logged});
        const auto dump = messagesOf(run.perRunLog, "printArgs");
        ASSERT_FALSE(dump.empty());
        EXPECT_EQ(dump.back(), "volumes=" + c.dumped);
    }
}
