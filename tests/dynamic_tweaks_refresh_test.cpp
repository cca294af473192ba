// test-traits: linux-only threaded
// linux-only: stops a thread at a random point with a POSIX signal.
#include "DynamicTweaks.h"
#include "TestSupport.h"
#include "Tweaks.h"

#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <time.h>

#include <atomic>
#include <random>
#include <string>
#include <thread>

namespace {

// A thread's refresh is stopped at a random point by a signal whose handler waits while another thread changes
// the tweak, or until the pause runs out when that thread has to wait for the stopped one.
std::atomic<bool> g_paused{false};
std::atomic<bool> g_otherDone{false};
std::atomic<i64> g_pauseLimitNs{0};

i64 monotonicNs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000000000LL + now.tv_nsec;
}

void pauseWhileTheOtherChanges(int) {
    g_paused.store(true);
    const i64 until = monotonicNs() + g_pauseLimitNs.load();
    while (!g_otherDone.load() && monotonicNs() < until) sched_yield();
}

}  // namespace

// Thread A's refresh is overtaken by thread B's change and refresh; when both are done, the snapshot holds what the
// registry holds, whichever value that is.
TEST(DynamicTweaksTest, OvertakenRefreshLeavesNoStaleValue) {
    DynamicTweaks* cache = DynamicTweaks::instance();
    Tweaks* tweaks = Tweaks::instance();
    // 5000 rounds, or as many as fit in 40 s (at least 1000) on a machine so busy that each hand-over between the
    // threads waits for a time slice.
    constexpr int kRounds = 5000, kMinRounds = 1000;
    constexpr i64 kBudgetNs = 40LL * 1000 * 1000 * 1000;
    std::atomic<int> rounds{kRounds};

    const i64 start = monotonicNs();
    for (int i = 0; i < 20; ++i) tweaks->update("t_defaultDlcTimeoutSec", "5");
    const i64 changeNs = (monotonicNs() - start) / 20;
    g_pauseLimitNs = 2 * changeNs;
    struct sigaction action {};
    action.sa_handler = pauseWhileTheOtherChanges;
    sigaction(SIGUSR1, &action, nullptr);

    // The threads yield or sleep while they wait for each other: a busy machine or a single CPU would otherwise
    // spend its time on the waiting. A, the signal's target, never sleeps in a wait: ThreadSanitizer hands a
    // signal to its thread only as the thread passes through a library call.
    std::atomic<int> roundStarted{-1};
    std::atomic<int> roundBegunByA{-1};
    std::atomic<int> roundDoneByA{-1};
    std::atomic<int> roundDoneByB{-1};
    auto waitFor = [](std::atomic<int>& counter, int value) {
        for (int seen; (seen = counter.load()) < value;) counter.wait(seen);
    };
    auto advance = [](std::atomic<int>& counter, int value) {
        counter.store(value);
        counter.notify_all();
    };
    auto yieldFor = [](std::atomic<int>& counter, int value) {
        while (counter.load() < value) std::this_thread::yield();
    };
    std::thread a([&] {
        for (int round = 0; round < kRounds; ++round) {
            yieldFor(roundStarted, round);
            if (round >= rounds.load()) break;
            roundBegunByA.store(round);
            tweaks->update("t_defaultDlcTimeoutSec", std::to_string(1000 + 2 * round));
            advance(roundDoneByA, round);
        }
        yieldFor(roundStarted, kRounds);  // alive for the last round's signal
    });
    std::thread b([&] {
        for (int round = 0; round < kRounds; ++round) {
            waitFor(roundStarted, round);
            if (round >= rounds.load()) break;
            while (!g_paused.load()) std::this_thread::yield();  // set by the handler: a moment after the signal
            tweaks->update("t_defaultDlcTimeoutSec", std::to_string(1001 + 2 * round));
            g_otherDone.store(true);
            advance(roundDoneByB, round);
        }
    });
    std::mt19937 random(7);
    std::uniform_int_distribution<i64> delayNs(0, changeNs);
    int stale = 0;
    const i64 begin = monotonicNs();
    for (int round = 0; round < kRounds; ++round) {
        if (round >= kMinRounds && monotonicNs() - begin > kBudgetNs) {
            rounds = round;
            break;
        }
        g_paused = false;
        g_otherDone = false;
        advance(roundStarted, round);
        // The random delay counts from the start of A's change, not from its wake-up.
        while (roundBegunByA.load() < round) std::this_thread::yield();
        const i64 signalAt = monotonicNs() + delayNs(random);
        while (monotonicNs() < signalAt) {
        }
        pthread_kill(a.native_handle(), SIGUSR1);
        waitFor(roundDoneByA, round);
        waitFor(roundDoneByB, round);
        if (cache->t_defaultDlcTimeoutSec.load() != tweaks->uintVal("t_defaultDlcTimeoutSec")) ++stale;
    }
    advance(roundStarted, kRounds);
    a.join();
    b.join();
    signal(SIGUSR1, SIG_DFL);
    EXPECT_EQ(stale, 0) << "of " << rounds << " rounds";
    RecordProperty("rounds", rounds.load());
    tweaks->update("t_defaultDlcTimeoutSec", "");
}
