// The client table: four clients at most, in a process of their own.
#include "FatalStop.h"
#include "Logger.h"
#include "TestSupport.h"

#include <atomic>
#include <thread>

namespace {
struct YesHandler : AssertHandler {
    int calls = 0;
    bool handle(const std::string&) override {
        ++calls;
        return true;
    }
};

void fillTable(std::vector<RecordingClient*>& clients) {
    for (int i = 0; i < 4; ++i) {
        clients.push_back(new RecordingClient("c" + std::to_string(i)));
        Logger::instance()->registerClient(clients.back(), 255);
    }
}
}  // namespace

TEST(LoggerClientsDeathTest, FifthClientEndsTheProcessWithTheCountOnStandardOutput) {
    const std::string out = "fifth_stdout.txt";
    EXPECT_EXIT(
        {
            redirectStdoutTo(out);
            std::vector<RecordingClient*> clients;
            fillTable(clients);
            Logger::instance()->registerClient(new RecordingClient("fifth"), 255);
        },
        ::testing::ExitedWithCode(kFatalStopExitCode), "");
    const std::string printed = readFile(out);
    EXPECT_NE(printed.find(",Assert,"), std::string::npos) << printed;
    EXPECT_NE(printed.find(": m_clientsCnt < 4 failed.  m_clientsCnt=4 \n"), std::string::npos) << printed;
}

TEST(LoggerClientsTest, FifthClientAcceptedByAHandlerIsNotStored) {
    YesHandler handler;
    Logger::instance()->setAssertHandler(&handler);
    std::vector<RecordingClient*> clients;
    fillTable(clients);
    static RecordingClient fifthClient("fifth");
    RecordingClient* fifth = &fifthClient;
    Logger::instance()->registerClient(fifth, 255);
    EXPECT_EQ(handler.calls, 1);

    LOG(Info) << "after" << std::endl;
    EXPECT_TRUE(fifth->lines().empty());
    for (auto* c : clients) {
        ASSERT_FALSE(c->lines().empty());
        EXPECT_NE(c->lines().back().find(",after\n"), std::string::npos);
    }
    Logger::instance()->setAssertHandler(nullptr);
}

// Four threads register at the same moment, each in a fresh process: every client is stored, and each sees the
// line logged after them.
TEST(LoggerClientsDeathTest, ClientsRegisteredAtOnceAreAllStored) {
    for (int round = 0; round < 30; ++round) {
        EXPECT_EXIT(
            {
                std::vector<RecordingClient*> clients;
                for (int i = 0; i < 4; ++i) clients.push_back(new RecordingClient("c" + std::to_string(i)));
                std::atomic<int> ready{0};
                std::vector<std::thread> threads;
                for (int i = 0; i < 4; ++i) {
                    threads.emplace_back([&, i] {
                        ++ready;
                        while (ready.load() < 4) {
                        }
                        Logger::instance()->registerClient(clients[i], 255);
                    });
                }
                for (auto& thread : threads) thread.join();
                LOG(Info) << "to every client" << std::endl;
                int stored = 0;
                for (auto* client : clients) stored += !client->linesWith("to every client").empty();
                std::_Exit(stored == 4 ? 0 : 10 + stored);
            },
            ::testing::ExitedWithCode(0), "")
            << "round " << round;
    }
}
