#include "ServiceThreads.h"

#include "ChildSupport.h"
#include "Logger.h"
#include "MemShield.h"
#include "MemWatcher.h"

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>

void waitForServiceThreads() {
    MemShield::instance();
    const bool registered = waitUntil(
        [] {
            bool worker = false;
            bool watchdog = false;
            MemWatcher::instance()->iterateThreads([&](int id, u64) {
                const std::string name = Logger::instance()->getThreadName(static_cast<u32>(id));
                worker = worker || name.find("MemShieldAO") != std::string::npos;
                watchdog = watchdog || name.find("DeadLockCheckerManager") != std::string::npos;
            });
            return worker && watchdog;
        },
        10000);
    if (!registered) {
        std::cerr << "the allocator's worker and the watchdog did not register within 10 s" << std::endl;
        std::_Exit(1);
    }
}

bool allocatedBytesReturnTo(u64 baseline, int ms) {
    return waitUntil([baseline] { return MemShield::instance()->m_allocatedBytes.load() == baseline; }, ms);
}

u64 settledAllocatedBytes() {
    waitForServiceThreads();
    auto flushedCount = [] {
        Logger::instance()->flushClients();
        return MemShield::instance()->m_allocatedBytes.load();
    };
    u64 count = flushedCount();
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const u64 again = flushedCount();
        if (again == count) break;
        count = again;
    }
    return count;
}
