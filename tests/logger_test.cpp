#include "FatalStop.h"
#include "FunctionName.h"
#include "Logger.h"
#include "TestSupport.h"

#include <windows.h>

#include <iomanip>
#include <regex>
#include <thread>

struct Probe {
    void emit(const std::string& text) { LOG(Info) << text << std::endl; }
    void emitFromLambda() {
        auto inner = [] { LOG(Warn) << "from lambda" << std::endl; };
        inner();
    }
};

void freeEmit() { LOG(Info) << "free" << std::endl; }

// A value whose printing logs a line of its own.
struct LoggingValue {};
std::ostream& operator<<(std::ostream& out, LoggingValue) {
    LOG(Info) << "inner " << 7 << std::endl;
    return out << "value";
}

class LoggerTest : public ::testing::Test {
protected:
    void SetUp() override {
        client().clear();
        client().m_mask = 255;
    }
    static RecordingClient& client() { return sharedClient(); }
    static std::string lastLine() {
        auto lines = client().lines();
        return lines.empty() ? std::string() : lines.back();
    }
    static std::string tid() { return std::to_string(GetCurrentThreadId()); }
};

TEST_F(LoggerTest, LineHasSevenColumnsWithTheMethodsClassAndName) {
    Probe().emit("hello, world");
    const std::regex line("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3},Info," + tid() +
                          ",NON,Probe,emit,hello, world\n$");
    EXPECT_TRUE(std::regex_match(lastLine(), line)) << lastLine();
}

TEST_F(LoggerTest, FreeFunctionLeavesTheClassColumnEmpty) {
    freeEmit();
    EXPECT_TRUE(std::regex_match(lastLine(), std::regex("^[^,]+,Info," + tid() + ",NON,,freeEmit,free\n$")))
        << lastLine();
}

TEST_F(LoggerTest, LambdaKeepsItsMarkerInTheMethodColumn) {
    Probe().emitFromLambda();
    EXPECT_NE(lastLine().find(",Warn," + tid() + ",NON,Probe,emitFromLambda::<lambda>,from lambda\n"),
              std::string::npos)
        << lastLine();
}

TEST_F(LoggerTest, TimeStampDigits) {
    const struct {
        int digits;
        const char* pattern;
    } cases[] = {
        {0, "^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d,Info,"},
        {1, "^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d,Info,"},
        {2, "^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d\\d,Info,"},
        {3, "^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d,Info,"},
    };
    for (const auto& c : cases) {
        LOG_D(Info, c.digits) << "x" << std::endl;
        EXPECT_TRUE(std::regex_search(lastLine(), std::regex(c.pattern))) << c.digits << ": " << lastLine();
    }
}

TEST_F(LoggerTest, LevelAndComponentNames) {
    // A message of its own per level: a line that is not dispatched leaves the previous one last, and that one
    // must not match. Levels past the table print, and are admitted, as its last entry, however large.
    const struct {
        u32 level;
        const char* name;
    } levels[] = {{1, "Fatal"}, {2, "Error"}, {3, "Warn"}, {4, "Info"}, {5, "Debug"}, {6, "Control"},
                  {7, "Info"},  {8, "Info"},  {9, "Info"}, {31, "Info"}, {32, "Info"}, {1000, "Info"}};
    for (const auto& c : levels) {  // 0 is Assert: it would end the process
        const std::string message = "m" + std::to_string(c.level);
        LogItem(LogComponent::Non, static_cast<LogLevel>(c.level), "f").stream() << message << std::endl;
        EXPECT_NE(lastLine().find("," + std::string(c.name) + "," + tid() + ",NON,,f," + message + "\n"),
                  std::string::npos)
            << c.level << ": " << lastLine();
    }
    EXPECT_STREQ(logLevelName(LogLevel::Assert), "Assert");

    const char* components[] = {"Invalid", "TESK", "HULT", "NON", "Invalid"};
    for (u32 component = 0; component < 5; ++component) {
        LogItem(static_cast<LogComponent>(component), LogLevel::Info, "f").stream() << "m" << std::endl;
        EXPECT_NE(lastLine().find(",Info," + tid() + "," + components[component] + ",,f,m"), std::string::npos)
            << component << ": " << lastLine();
    }
}

TEST_F(LoggerTest, CommaInTheMessageIsNotEscaped) {
    LOG_FN(Info, "A::b") << "x,y" << std::endl;
    EXPECT_NE(lastLine().find(",NON,A,b,x,y\n"), std::string::npos) << lastLine();
}

TEST(FunctionNameTest, Normalisation) {
    const struct {
        const char* name;
        const char* columns;
    } cases[] = {
        {"Logger::registerClient", "Logger,registerClient"},
        {"A::B::m", "A::B,m"},
        {"wmain", ",wmain"},
        {"MemoryPoolImpl::giveMemoryToWaiterLocked::<lambda_1f2e>::operator ()",
         "MemoryPoolImpl,giveMemoryToWaiterLocked::<lambda>"},
        {"<lambda_1>::operator ()", ",<lambda>"},
        {"", ","},
    };
    for (const auto& c : cases) EXPECT_EQ(normaliseFunctionName(c.name), c.columns) << c.name;
}

TEST(FunctionNameTest, PlainNamesFromGccSignatures) {
    const struct {
        const char* pretty;
        const char* plain;
    } cases[] = {
        {"void A::B::m(int)", "A::B::m"},
        {"int wmain(int, wchar_t**)", "wmain"},
        {"A::B::B()", "A::B::B"},
        {"A::B::~B()", "A::B::~B"},
        {"static void Directories::ensureExists(const std::string&)", "Directories::ensureExists"},
        {"const char* A::B::c() const", "A::B::c"},
        {"T A::B::g() [with T = int]", "A::B::g"},
        {"std::map<int, std::__cxx11::basic_string<char> > A::f(std::map<int, int>)", "A::f"},
        {"static T* Singleton<T, Impl>::instance() [with T = Logger; Impl = Logger]", "Singleton::instance"},
        {"bool A::B::operator==(const A::B&) const", "A::B::operator=="},
        {"bool A::operator<(const A&) const", "A::operator<"},
        {"void A::operator()(int)", "A::operator()"},
        {"A::operator bool() const", "A::operator bool"},
        {"A::B::m(int)::<lambda(int)>", "A::B::m::<lambda_1>::operator ()"},
        {"A::B::m(int)::<lambda()>::<lambda()>", "A::B::m::<lambda_1>::<lambda_1>::operator ()"},
        {"{anonymous}::helper()", "{anonymous}::helper"},
    };
    for (const auto& c : cases) EXPECT_EQ(plainFunctionName(c.pretty), c.plain) << c.pretty;
}

// The same functions as clang names them: the log columns must not depend on the compiler.
TEST(FunctionNameTest, PlainNamesFromClangSignatures) {
    const struct {
        const char* pretty;
        const char* plain;
    } cases[] = {
        {"void A::B::m(int)", "A::B::m"},
        {"const char *A::B::c() const", "A::B::c"},
        {"std::string &A::ref()", "A::ref"},
        {"T A::B::g() [T = int]", "A::B::g"},
        {"static T *Singleton<Logger, Logger>::instance() [T = Logger, Impl = Logger]", "Singleton::instance"},
        {"int &A::operator[](int)", "A::operator[]"},
        {"bool A::operator==(const A &) const", "A::operator=="},
        {"auto A::B::m(int)::(anonymous class)::operator()(int) const", "A::B::m::<lambda_1>::operator ()"},
        {"auto A::B::m(int)::(anonymous class)::operator()(int)::(anonymous class)::operator()() const",
         "A::B::m::<lambda_1>::<lambda_1>::operator ()"},
        {"auto A::m(std::pair<int, int>)::(anonymous class)::operator()(std::map<int, int> (*)(int)) const",
         "A::m::<lambda_1>::operator ()"},
        {"auto A::m()::(anonymous class)::operator()(auto) const [x:auto = int]", "A::m::<lambda_1>::operator ()"},
        {"auto freeFn()::(anonymous class)::operator()()", "freeFn::<lambda_1>::operator ()"},
        {"auto (anonymous class)::operator()() const", "<lambda_1>::operator ()"},
        {"void (anonymous namespace)::helper()", "{anonymous}::helper"},
        {"auto (anonymous namespace)::f()::(anonymous class)::operator()() const",
         "{anonymous}::f::<lambda_1>::operator ()"},
    };
    for (const auto& c : cases) EXPECT_EQ(plainFunctionName(c.pretty), c.plain) << c.pretty;
}

TEST_F(LoggerTest, MaskAdmitsItsLevelsAndErrorLevelsFlushEveryClient) {
    std::vector<std::string> journal;
    std::mutex journalLock;
    client().journalTo(&journal, &journalLock);
    client().m_mask = 1u << 3;  // Warn only
    LOG(Info) << "dropped" << std::endl;
    LOG(Warn) << "kept" << std::endl;
    client().m_mask = 0;
    LOG(Error) << "flushes, not written" << std::endl;
    LOG(Fatal) << "flushes too" << std::endl;
    {
        struct Accept : AssertHandler {
            bool handle(const std::string&) override { return true; }
        } accept;
        Logger::instance()->setAssertHandler(&accept);
        LOG(Assert) << "flushed twice, not written" << std::endl;
        Logger::instance()->setAssertHandler(nullptr);
    }
    client().journalTo(nullptr, nullptr);

    EXPECT_EQ(journal,
              (std::vector<std::string>{"shared.write", "shared.flush", "shared.flush", "shared.flush", "shared.flush"}));
    ASSERT_EQ(client().lines().size(), 1u);
    EXPECT_NE(lastLine().find("kept"), std::string::npos);
}

TEST_F(LoggerTest, ErrorLineIsWrittenAndFlushedOnEachClientInTurn) {
    static RecordingClient* second = [] {
        auto* c = new RecordingClient("second");
        Logger::instance()->registerClient(c, 255);
        return c;
    }();
    std::vector<std::string> journal;
    std::mutex journalLock;
    client().journalTo(&journal, &journalLock);
    second->journalTo(&journal, &journalLock);
    LOG(Info) << "not flushed" << std::endl;
    LOG(Error) << "flushed" << std::endl;
    client().journalTo(nullptr, nullptr);
    second->journalTo(nullptr, nullptr);
    second->m_mask = 0;  // later tests count the shared client's lines only
    EXPECT_EQ(journal, (std::vector<std::string>{"shared.write", "second.write", "shared.write", "shared.flush",
                                                 "second.write", "second.flush"}));
}

TEST_F(LoggerTest, ThreadWithoutANameLogs) {
    std::thread([] { LOG(Info) << "from a plain thread" << std::endl; }).join();
    ASSERT_EQ(client().lines().size(), 1u);
    EXPECT_TRUE(std::regex_search(lastLine(), std::regex(",Info,\\d+,NON,[^,]*,TestBody::<lambda>,from a plain thread\n$"))) << lastLine();
    EXPECT_EQ(lastLine().find("," + tid() + ","), std::string::npos);
}

TEST_F(LoggerTest, StatementWithoutFlushIsNotLoggedAndASecondFlushSendsAllAgain) {
    { LOG(Info) << "never flushed"; }
    EXPECT_TRUE(client().lines().empty());

    LOG(Info) << "one" << std::flush << "two" << std::endl;
    auto lines = client().lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find(",one"), std::string::npos);
    EXPECT_EQ(lines[1].substr(lines[1].size() - 8), ",onetwo\n");
    EXPECT_EQ(lines[1].substr(0, lines[0].size()), lines[0]);
}

TEST_F(LoggerTest, ThreadNamesKeepTheFirstName) {
    Logger* logger = Logger::instance();
    logger->setThreadName("first");
    logger->setThreadName("second");
    EXPECT_EQ(logger->getThreadName(GetCurrentThreadId()), "first");
    EXPECT_EQ(logger->getThreadName(0xFFFFFFF0u), "");
    logger->eraseThreadName(GetCurrentThreadId());
    EXPECT_EQ(logger->getThreadName(GetCurrentThreadId()), "");
    EXPECT_EQ(logger->getAsyncThreadName(), "");
}

TEST_F(LoggerTest, CheckWithDetailBelowAssertIsAReportAndGoesOn) {
    int value = 2;
    ASSERT_MSG(Warn, value == 1, "detail value=" << value << " ");
    const std::string line = lastLine();
    EXPECT_NE(line.find(",Warn,"), std::string::npos);
    EXPECT_TRUE(std::regex_search(line, std::regex(",  ?[^ ]*logger_test\\.cpp \\d+: value == 1 failed\\. detail value=2 \n$")))
        << line;
}

namespace {
struct AcceptingHandler : AssertHandler {
    std::vector<std::string>* journal;
    std::mutex* lock;
    bool accept = true;
    bool handle(const std::string&) override {
        std::lock_guard<std::mutex> guard(*lock);
        journal->push_back("handler");
        return accept;
    }
};
}  // namespace

TEST_F(LoggerTest, AssertLineAcceptedByTheHandlerRunsTheWholePathAndGoesOn) {
    std::vector<std::string> journal;
    std::mutex journalLock;
    client().journalTo(&journal, &journalLock);
    AcceptingHandler handler;
    handler.journal = &journal;
    handler.lock = &journalLock;
    Logger::instance()->setAssertHandler(&handler);
    Logger::instance()->setComponentCallback(LogComponent::Non, [&](const std::string& line) {
        std::lock_guard<std::mutex> guard(journalLock);
        journal.push_back("callback:" + std::string(line.find("boom") != std::string::npos ? "line" : "?"));
    });

    ASSERT_MSG(Assert, 1 == 2, "boom");

    Logger::instance()->setAssertHandler(nullptr);
    Logger::instance()->setComponentCallback(LogComponent::Non, nullptr);
    client().journalTo(nullptr, nullptr);
    EXPECT_EQ(journal, (std::vector<std::string>{"shared.write", "shared.flush", "shared.flush", "callback:line",
                                                 "shared.flush", "handler"}));
}

TEST(LoggerDeathTest, AssertLineWithoutHandlerGoesToStandardOutputAndEndsTheProcess) {
    const std::string out = "assert_stdout.txt";
    EXPECT_EXIT(
        {
            redirectStdoutTo(out);
            LOG(Assert) << "the end" << std::endl;
        },
        ::testing::ExitedWithCode(kFatalStopExitCode), "");
    const std::string printed = readFile(out);
    EXPECT_TRUE(std::regex_match(printed, std::regex("^[^,]+,Assert,\\d+,NON,[^,]*,[^,]+,the end\n\n$"))) << printed;
}

TEST(LoggerDeathTest, FailedAssertEndsTheProcessWithTheLineOnStandardError) {
    EXPECT_EXIT(
        {
            sharedClient();
            AcceptingHandler handler;  // ASSERT never asks a handler
            std::vector<std::string> journal;
            std::mutex lock;
            handler.journal = &journal;
            handler.lock = &lock;
            Logger::instance()->setAssertHandler(&handler);
            int h = 0;
            ASSERT(h != 0);
        },
        ::testing::ExitedWithCode(kFatalStopExitCode), ",Error," + rxDigit() + "+,NON,.*Assertion \\(h != 0\\) failed .*logger_test\\.cpp " + rxDigit() + "+");
}

TEST(LoggerDeathTest, FailedAssertBeforeAnyClientStillSaysWhy) {
    EXPECT_EXIT({ ASSERT_TEXT(false, "no clients yet"); }, ::testing::ExitedWithCode(kFatalStopExitCode),
                "Assertion \\(no clients yet\\) failed");
}

// Statements reuse their streams: what one statement sets (base, width, precision, flags, a failed state) must not
// reach the next, while the header still leaves the fill at '0' within its own statement.
TEST_F(LoggerTest, EachStatementStartsWithAFreshStreamsFormat) {
    LOG(Info) << std::hex << std::showbase << std::setprecision(2) << std::showpos << std::boolalpha << std::left
              << std::setfill('*') << std::setw(9) << 255 << std::endl;
    LOG(Info) << std::setw(4) << 7 << " " << 255 << " " << 1.23456789 << " " << true << std::endl;
    EXPECT_NE(lastLine().find(",0007 255 1.23457 1\n"), std::string::npos) << lastLine();

    {
        LogItem item(LogComponent::Non, LogLevel::Info, "f");
        item.stream().setstate(std::ios::failbit);  // a statement whose stream failed writes nothing more
        item.stream() << "lost" << std::endl;
    }
    LOG(Info) << "after a failed statement" << std::endl;
    EXPECT_NE(lastLine().find(",after a failed statement\n"), std::string::npos) << lastLine();
}

TEST_F(LoggerTest, StatementLoggedWhilePrintingAnotherKeepsBothLinesWhole) {
    LOG(Info) << "outer " << LoggingValue() << " end" << std::endl;
    const auto lines = client().lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_TRUE(std::regex_search(lines[lines.size() - 2], std::regex(",NON,,operator<<,inner 7\n$")))
        << lines[lines.size() - 2];
    EXPECT_TRUE(std::regex_search(lines.back(), std::regex(",NON,LoggerTest_[A-Za-z_]+,TestBody,outer value end\n$")))
        << lines.back();
}

TEST_F(LoggerTest, LongLineThenShortLine) {
    const std::string big(100000, 'b');
    LOG(Info) << big << std::endl;
    EXPECT_NE(lastLine().find("," + big + "\n"), std::string::npos);
    LOG(Info) << "short" << std::endl;
    EXPECT_TRUE(std::regex_search(lastLine(), std::regex("^[^,]+,Info,[0-9]+,NON,[^,]*,TestBody,short\n$")))
        << lastLine();
}

TEST_F(LoggerTest, LongClassNameStaysWholeInItsColumn) {
    const std::string className(300, 'K');
    LogItem(LogComponent::Tesk, LogLevel::Warn, (className + "::method").c_str()).stream() << "m" << std::endl;
    EXPECT_TRUE(std::regex_search(lastLine(), std::regex(",Warn," + tid() + ",TESK," + className + ",method,m\n$")))
        << lastLine();
}

// The fixed columns are laid out in a buffer of 256 bytes when the class and method columns and their comma fit:
// a pair that exactly fills it, and one byte under or over, come out whole either way.
TEST_F(LoggerTest, ClassAndMethodThatExactlyFillTheHeaderBufferStayWhole) {
    const size_t before = std::string("2026-01-01 00:00:00.000,Warn," + tid() + ",TESK,").size();
    for (const int over : {-1, 0, 1}) {
        SCOPED_TRACE(over);
        // The columns are the class, a comma and "m"; the comma after them is the last byte of the buffer.
        const size_t columns = static_cast<size_t>(256 - 1 - static_cast<int>(before) + over);
        const std::string className(columns - 2, 'K');
        LogItem(LogComponent::Tesk, LogLevel::Warn, (className + "::m").c_str()).stream() << "end" << std::endl;
        EXPECT_TRUE(std::regex_match(lastLine(), std::regex("^[^,]{23},Warn," + tid() + ",TESK," + className +
                                                            ",m,end\n$")))
            << lastLine();
    }
}
