// What the snapshot flow itself adds to the frozen moment: 100 flows in one process with the requester simulator,
// the boot guards on the stand-in registry and the fake bcdedit, and a listener whose quiesce call only stamps its
// entry and exit. Per flow, from the stand-in's trace of named-event waits and sets: the time from the return of
// the wait for the quiesced event to the set of the thaw event, less the listener's own time.
#include "AgentInitializer.h"
#include "BootSettingsSupport.h"
#include "SnapshotFlow.h"
#include "StatusReaderWriter.h"
#include "Tweaks.h"
#include "VssRequesterSimulator.h"

#include <platform/testing.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr int kFlows = 100;

long long nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

class StampingListener : public ISnapshotFlowListener {
public:
    int notifySnapshotPrepare() override { return 0; }
    void notifySnapshotQuiesceSuccess() override {
        m_entered = nowNs();
        m_left = nowNs();
    }
    void notifySnapshotThawSuccess() override {}
    void notifySnapshotCompleteSuccess() override {}
    void notifySnapshotCompleteFailure(int) override { m_failed = true; }
    long long m_entered = 0, m_left = 0;
    bool m_failed = false;
};

class NoWrites : public IInterProcessCommunicationHandler {
public:
    u32 read() override { return 0; }
    void write(u32) override {}
};

double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    const size_t at = static_cast<size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[at];
}

}  // namespace

int main() {
    const fs::path root = fs::absolute("snapshot_flow_" + std::to_string(getpid()));
    fs::create_directories(root);
    platform_test::setStandinRoot(root.string().c_str());
    AgentInitializer::setTweakDefaults();
    resetBootSettings();
    FakeBcdedit bcdedit;
    StatusReaderWriter status;
    NoWrites handler;
    status.m_handler = &handler;

    std::vector<double> added;
    for (int flow = 0; flow < kFlows; ++flow) {
        StampingListener listener;
        VssRequesterSimulator simulator;
        SnapshotFlowArgs args;
        platform_test::startEventTrace();
        const int result = SnapshotFlow::execute(args, &listener, &simulator, &status);
        const auto trace = platform_test::stopEventTrace();
        long long waited = -1, thawSet = -1;
        for (const auto& entry : trace) {
            if (!entry.isSet && entry.name == SnapshotFlow::kQuiescedEventName && entry.result == WAIT_OBJECT_0 &&
                waited < 0) {
                waited = entry.steadyNs;
            }
            if (entry.isSet && entry.name == SnapshotFlow::kThawEventName && waited >= 0 && thawSet < 0) {
                thawSet = entry.steadyNs;
            }
        }
        if (result != 0 || listener.m_failed || waited < 0 || thawSet < 0) {
            std::cerr << "flow " << flow << " failed: result " << result << std::endl;
            return 1;
        }
        added.push_back(static_cast<double>((thawSet - waited) - (listener.m_left - listener.m_entered)) / 1e6);
    }
    fs::remove_all(root);
    std::cout << "snapshot flow, " << kFlows << " flows with the simulator: time the flow adds to the frozen moment"
              << std::endl
              << "  median " << percentile(added, 0.5) << " ms, 99th percentile " << percentile(added, 0.99)
              << " ms (target: median <= 1 ms)" << std::endl;
    return 0;
}
