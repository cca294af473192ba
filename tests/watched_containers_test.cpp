#include "FatalStop.h"
#include "FileLoggerSupport.h"
#include "MemWatchedContainer.h"
#include "TestSupport.h"

#include <map>
#include <queue>
#include <regex>
#include <set>
#include <thread>
#include "Tweaks.h"

namespace {

struct CountedQueue : MemWatchedContainer {
    explicit CountedQueue(u64 n) : MemWatchedContainer("Alpha", 8), items(n) {
        MemWatchedContainerDatabase::instance()->registerContainer(this);
    }
    ~CountedQueue() override { MemWatchedContainerDatabase::instance()->unregisterContainer(this); }
    u64 size() const override { return items; }
    u64 items;
};

std::vector<std::string> report() {
    RecordingClient& log = sharedClient();
    log.clear();
    MemWatchedContainerDatabase::instance()->printWatchedContainers();
    std::vector<std::string> messages;
    for (const auto& line : log.lines()) {
        EXPECT_TRUE(std::regex_search(line, std::regex("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d,Info,\\d+,NON,"
                                                       "MemWatchedContainerDatabase,printWatchedContainers,")))
            << line;
        const std::string marker = "printWatchedContainers,";
        messages.push_back(line.substr(line.find(marker) + marker.size()));
    }
    return messages;
}

u64 containerCount(const std::vector<std::string>& messages) {
    std::smatch m;
    EXPECT_TRUE(std::regex_match(messages.back(), m, std::regex("^ estimatedTotal=(\\d+) in (\\d+) containers\n$")))
        << messages.back();
    return std::stoull(m[2]);
}

bool has(const std::vector<std::string>& messages, const std::string& text) {
    return std::find(messages.begin(), messages.end(), text + "\n") != messages.end();
}

}  // namespace

TEST(WatchedContainersTest, ReportGroupsByNameInByteOrder) {
    const u64 before = containerCount(report());
    {
        CountedQueue five(5), two(2);
        StlMemShiledContainer<std::map<int, int>> beta("Beta");
        StlMemShiledContainer<std::set<int>> lowerAlpha("alpha");
        StlMemShiledContainer<std::queue<int>> queue("Beta");
        for (int i = 0; i < 100; ++i) beta[i] = i;
        lowerAlpha.insert(1);
        queue.push(7);

        const auto messages = report();
        EXPECT_TRUE(has(messages, "ContainerName = Alpha items = 7 memory = 56 (max = 40)"));
        EXPECT_TRUE(has(messages, "ContainerName = Beta items = 101"));  // sizes 0: the short form
        EXPECT_TRUE(has(messages, "ContainerName = alpha items = 1"));
        auto pos = [&](const std::string& name) {
            for (size_t i = 0; i < messages.size(); ++i) {
                if (messages[i].rfind("ContainerName = " + name + " ", 0) == 0) return i;
            }
            return messages.size();
        };
        EXPECT_LT(pos("Alpha"), pos("Beta"));
        EXPECT_LT(pos("Beta"), pos("alpha"));
        EXPECT_EQ(containerCount(messages), before + 5);
        std::smatch m;
        std::regex_match(messages.back(), m, std::regex("^ estimatedTotal=(\\d+) in \\d+ containers\n$"));
        EXPECT_GE(std::stoull(m[1]), 56u);
    }
    const auto after = report();
    EXPECT_EQ(containerCount(after), before);
    for (const auto& message : after) EXPECT_EQ(message.find("ContainerName = Alpha "), std::string::npos);
}

TEST(WatchedContainersTest, CopyIsAContainerOfItsOwn) {
    const u64 before = containerCount(report());
    auto* original = new StlMemShiledContainer<std::map<int, std::string>>("Copied");
    (*original)[1] = "one";
    {
        StlMemShiledContainer<std::map<int, std::string>> copy(*original);
        StlMemShiledContainer<std::map<int, std::string>> assigned("Assigned");
        assigned = copy;
        EXPECT_EQ(copy.at(1), "one");
        EXPECT_EQ(assigned.m_name, "Assigned");
        const auto messages = report();
        EXPECT_TRUE(has(messages, "ContainerName = Copied items = 2"));
        EXPECT_TRUE(has(messages, "ContainerName = Assigned items = 1"));
    }
    delete original;
    EXPECT_EQ(containerCount(report()), before);
}

TEST(WatchedContainersDeathTest, BrokenRegistrationEndsTheProcess) {
    EXPECT_EXIT(
        {
            CountedQueue queue(1);
            MemWatchedContainerDatabase::instance()->registerContainer(&queue);
        },
        ::testing::ExitedWithCode(kFatalStopExitCode), "Assertion \\(rt\\) failed");
    EXPECT_EXIT(
        {
            CountedQueue* stray = static_cast<CountedQueue*>(::operator new(sizeof(CountedQueue)));
            MemWatchedContainerDatabase::instance()->unregisterContainer(stray);
        },
        ::testing::ExitedWithCode(kFatalStopExitCode), "Assertion \\(iter != m_containers.end\\(\\)\\) failed");
}

TEST(WatchedContainersTest, LoggerContainersAreListedUnderTheirNames) {
    Logger::instance()->setThreadName("reporter");
    const auto messages = report();
    EXPECT_TRUE(has(messages, "ContainerName = LoggerAsyncThreadNames items = 0"));
    bool threadNames = false;
    for (const auto& m : messages) threadNames |= m.rfind("ContainerName = LoggerThreadNames items = ", 0) == 0;
    EXPECT_TRUE(threadNames);
}

// The report reads every container's count while the owners change them under their own locks: the counts it
// reads must be safe to read without those locks (ThreadSanitizer reports any that is not).
TEST(WatchedContainersTest, ReportRunsWhileOwnersChangeTheirContainers) {
    LogFolder folder;
    auto* client = new FileLoggerClient(folder.base, 3, 0, "");
    Logger::instance()->registerClient(client, 255);
    std::atomic<bool> done{false};
    std::atomic<int> rounds{0};
    finishWithin(60000, "the report beside busy owners", [&] {
        std::thread owner([&] {
            for (int i = 0; i < 300; ++i) {
                LOG(Info) << "line " << i << std::endl;
                Tweaks::instance()->update("t_watchedRace", std::to_string(i % 2 == 0 ? i : 0));
                std::thread([] { Logger::instance()->setThreadName("short-lived"); }).join();
                ++rounds;
            }
            done = true;
        });
        // About one report per round of the owner: unpaced, a slow machine's reports outgrow the log's budget and
        // the owner's own lines are dropped.
        int reports = 0, seen = -1;
        while (!done || reports < 20) {
            while (!done && rounds.load() == seen) std::this_thread::yield();
            seen = rounds.load();
            MemWatchedContainerDatabase::instance()->printWatchedContainers();
            ++reports;
        }
        owner.join();
    });
    client->flush();
    EXPECT_NE(fileText(folder.live()).find("line 299"), std::string::npos);
}
