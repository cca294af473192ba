// test-traits: linux-only
// Linux-only: the backup sequence runs against the stand-in's scripted VSS (platform/testing_vss.h), which also
// journals every COM and VSS call and counts live BSTRs and COM initialisations.
#include "ChildProcess.h"
#include "TestSupport.h"
#include "Tweaks.h"
#include "VssRequester.h"

#include <platform/testing.h>

#include <algorithm>
#include <new>
#include <set>
#include <string>
#include <thread>
#include <vector>

using platform_test::VssOutcome;
using platform_test::VssScenario;

namespace {

const wchar_t* const kVolumeA = L"\\\\?\\Volume{1A2B3C4D-0000-4000-8000-00000000000A}\\";
const wchar_t* const kVolumeB = L"\\\\?\\Volume{5E6F7A8B-0000-4000-8000-00000000000B}\\";
const wchar_t* const kVolumeC = L"\\\\?\\Volume{1a2b3c4d-0000-4000-8000-00000000000C}\\";
const char* const kVolumeAText = "\\\\?\\Volume{1A2B3C4D-0000-4000-8000-00000000000A}\\";
const char* const kVolumeBText = "\\\\?\\Volume{5E6F7A8B-0000-4000-8000-00000000000B}\\";
const char* const kVolumeCText = "\\\\?\\Volume{1a2b3c4d-0000-4000-8000-00000000000C}\\";
const char* const kProviderText = "{4CA6E6D4-15AF-432D-BF02-A633B6F71ACE}";
const GUID kWriterId = {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};
const GUID kInstanceId = {0xAAAAAAAA, 0xBBBB, 0xCCCC, {0xDD, 0xDD, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0x0F}};

VssScenario machine() {
    VssScenario s;
    s.volumes = {kVolumeA, kVolumeB, kVolumeC};
    s.registeredProvider = ProviderId;
    s.writers = {{u"System Writer", VSS_WS_STABLE, S_OK, kWriterId, kInstanceId},
                 {u"Registry Writer", VSS_WS_WAITING_FOR_BACKUP_COMPLETE, S_OK, kInstanceId, kWriterId}};
    return s;
}

VssOutcome fails(const char* method, HRESULT hr, unsigned occurrence = 1) {
    VssOutcome o;
    o.method = method;
    o.occurrence = occurrence;
    o.result = hr;
    return o;
}

VssOutcome operation(const char* method, unsigned occurrence = 1) {
    VssOutcome o;
    o.method = method;
    o.occurrence = occurrence;
    return o;
}

std::string firstWord(const std::string& line) { return line.substr(0, line.find(' ')); }

bool startsWith(const std::string& text, const std::string& head) { return text.compare(0, head.size(), head) == 0; }

// The message column of a log line.
std::string message(std::string line) {
    size_t at = 0;
    for (int i = 0; i < 6 && at != std::string::npos; ++i) at = line.find(',', at + 1);
    std::string text = at == std::string::npos ? line : line.substr(at + 1);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

enum class PreCom { None, Apartment, Multi };

struct Outcome {
    int result = 0;
    bool threw = false;
    int comBefore = 0, comAfter = 0;
    std::vector<std::string> journal;
    std::vector<std::string> log;  // messages
};

class VssRequesterTest : public ::testing::Test {
protected:
    void SetUp() override {
        useOwnStandinRoot();
        sharedClient();
        Tweaks::instance()->update("t_WaitAsyncTimeoutMsec", "3000");
        m_bstrs = platform_test::liveBstrCount();
        m_components = platform_test::liveComponentsCount();
        m_taskMem = platform_test::liveTaskMemCount();
    }
    void TearDown() override {
        platform_test::clearVssScenario();
        EXPECT_EQ(platform_test::liveBstrCount(), m_bstrs) << "a writer name was not freed";
        EXPECT_EQ(platform_test::liveTaskMemCount(), m_taskMem) << "a GUID text was not freed";
        EXPECT_EQ(platform_test::liveComponentsCount(), m_components) << "components not released";
        EXPECT_EQ(platform_test::setsInProgress(), 0) << "a snapshot set stays open";
    }

    // DoSnapshot on a thread of its own, with COM initialised beforehand as asked.
    Outcome run(const VssScenario& scenario, const RequesterArgs& args = RequesterArgs(), PreCom pre = PreCom::None) {
        platform_test::setVssScenario(scenario);
        platform_test::clearVssJournal();
        sharedClient().clear();
        Outcome r;
        std::thread thread([&] {
            if (pre == PreCom::Apartment) CoInitialize(NULL);
            if (pre == PreCom::Multi) CoInitializeEx(NULL, COINIT_MULTITHREADED);
            platform_test::clearVssJournal();
            r.comBefore = platform_test::comInitCount();
            try {
                r.result = VssRequester().DoSnapshot(args);
            } catch (const std::bad_alloc&) {
                r.threw = true;
            }
            r.comAfter = platform_test::comInitCount();
            r.journal = platform_test::vssJournal();
            if (pre != PreCom::None) CoUninitialize();
        });
        thread.join();
        for (const auto& line : sharedClient().lines()) r.log.push_back(message(line));
        return r;
    }

    long m_bstrs = 0, m_components = 0, m_taskMem = 0;
};

bool logged(const Outcome& r, const std::string& text) {
    return std::any_of(r.log.begin(), r.log.end(), [&](const std::string& m) { return m == text; });
}

std::string dump(const std::vector<std::string>& lines) {
    std::string all;
    for (const auto& l : lines) all += "  " + l + "\n";
    return all;
}

// Every operation handed out is released exactly once.
void expectAsyncsReleasedOnce(const Outcome& r) {
    std::set<std::string> made;
    for (const auto& line : r.journal) {
        const auto at = line.find(" async");
        if (at != std::string::npos && line.find(" = 0") != std::string::npos) {
            made.insert(line.substr(at + 1, line.find(' ', at + 1) - at - 1));
        }
    }
    for (const auto& name : made) {
        const auto releases = std::count_if(r.journal.begin(), r.journal.end(), [&](const std::string& line) {
            return startsWith(line, name + ".Release");
        });
        EXPECT_EQ(releases, 1) << name << "\n" << dump(r.journal);
        EXPECT_TRUE(std::count(r.journal.begin(), r.journal.end(), name + ".Release 0") == 1) << dump(r.journal);
    }
}

// The journal after the failing call, without the releases of operations.
std::vector<std::string> after(const Outcome& r, size_t failure) {
    std::vector<std::string> tail;
    for (size_t i = failure + 1; i < r.journal.size(); ++i) {
        const std::string word = firstWord(r.journal[i]);
        if (startsWith(word, "async") && word.find(".Release") != std::string::npos) continue;
        tail.push_back(r.journal[i]);
    }
    return tail;
}

// Index of the journal line where the row's failure happened: the `occurrence`-th call of `method`, or the last
// line of the operation that call started.
size_t failureIndex(const Outcome& r, const std::string& method, unsigned occurrence, bool inOperation) {
    unsigned seen = 0;
    for (size_t i = 0; i < r.journal.size(); ++i) {
        if (firstWord(r.journal[i]) != method || ++seen != occurrence) continue;
        if (!inOperation) return i;
        const std::string line = r.journal[i];
        const std::string name = line.substr(method.size() + 1, line.find(' ', method.size() + 1) - method.size() - 1);
        size_t last = i;
        for (size_t k = i + 1; k < r.journal.size(); ++k) {
            if (startsWith(r.journal[k], name + ".") && !startsWith(r.journal[k], name + ".Release")) last = k;
        }
        return last;
    }
    return r.journal.size();
}

struct FailingStep {
    const char* name;
    VssOutcome outcome;
    bool inOperation;  // the failure is in the operation the call started, not in the call
    PreCom pre;
    int result;
    std::vector<std::string> errors;  // Error messages, in order
    bool abort;
};

const HRESULT kVeto = static_cast<HRESULT>(0x80042306u);

std::vector<FailingStep> failingSteps() {
    auto waitFails = [](const char* method, unsigned occurrence, HRESULT hr) {
        VssOutcome o = operation(method, occurrence);
        o.waitResult = hr;
        return o;
    };
    auto ends = [](const char* method, unsigned occurrence, HRESULT status) {
        VssOutcome o = operation(method, occurrence);
        o.status = status;
        return o;
    };
    auto queryFails = [](const char* method, HRESULT hr) {
        VssOutcome o = operation(method);
        o.queryResult = hr;
        return o;
    };
    // Windows' Wait returns the failure an operation met; a stand-in that leaves it to QueryStatus takes the
    // requester's other path.
    auto endsQueried = [&](const char* method, HRESULT status) {
        VssOutcome o = ends(method, 1, status);
        o.waitReturnsOk = true;
        return o;
    };
    VssOutcome pendingPrepare = operation("PrepareForBackup");
    pendingPrepare.neverEnds = true;
    VssOutcome pendingSet = operation("DoSnapshotSet");
    pendingSet.neverEnds = true;
    const std::string veto = " (VSS_E_PROVIDER_VETO) ";
    return {
        {"CoInitialize already done", VssOutcome{}, false, PreCom::Apartment, 1,
         {"CoInitialize failed with error code 1"}, false},
        {"CoInitialize other model", VssOutcome{}, false, PreCom::Multi, static_cast<int>(0x80010106u),
         {"CoInitialize failed with error code 80010106"}, false},
        {"create", fails("CreateVssBackupComponentsInternal", E_ACCESSDENIED), false, PreCom::None,
         static_cast<int>(E_ACCESSDENIED), {"CreateVssBackupComponents failed with error code 80070005"}, false},
        {"InitializeForBackup", fails("InitializeForBackup", VSS_E_UNEXPECTED), false, PreCom::None,
         static_cast<int>(VSS_E_UNEXPECTED),
         {"InitializeForBackup failed with error code 80042302 (VSS_E_UNEXPECTED) "}, false},
        {"SetBackupState", fails("SetBackupState", E_INVALIDARG), false, PreCom::None,
         static_cast<int>(E_INVALIDARG), {"SetBackupState failed with error code 80070057"}, true},
        {"GatherWriterMetadata", fails("GatherWriterMetadata", E_OUTOFMEMORY), false, PreCom::None,
         static_cast<int>(E_OUTOFMEMORY), {"GatherWriterMetadata failed with error code 8007000e"}, true},
        {"StartSnapshotSet", fails("StartSnapshotSet", VSS_E_SNAPSHOT_SET_IN_PROGRESS), false, PreCom::None,
         static_cast<int>(VSS_E_SNAPSHOT_SET_IN_PROGRESS),
         {"StartSnapshotSet failed with error code 80042316 (Another shadow copy creation is already in progress. "
          "Please wait a few moments and try again) "},
         true},
        {"PrepareForBackup", fails("PrepareForBackup", VSS_E_BAD_STATE), false, PreCom::None,
         static_cast<int>(VSS_E_BAD_STATE), {"PrepareForBackup failed with error code 80042301 (VSS_E_BAD_STATE) "},
         true},
        {"DoSnapshotSet", fails("DoSnapshotSet", kVeto), false, PreCom::None, kVeto,
         {"DoSnapshotSet failed with error code 80042306" + veto}, true},
        {"BackupComplete", fails("BackupComplete", E_UNEXPECTED), false, PreCom::None,
         static_cast<int>(E_UNEXPECTED),
         {"BackupComplete failed with error code 8000ffff (The shadow copy provider had an error. Please see the "
          "system and application event logs for more information) "},
         true},
        {"wait after GatherWriterMetadata", waitFails("GatherWriterMetadata", 1, E_UNEXPECTED), true, PreCom::None,
         1,
         {"pAsync->Wait() failed with error code 8000ffff (The shadow copy provider had an error. Please see the "
          "system and application event logs for more information) ",
          "waitForAsync failed"},
         true},
        {"wait after PrepareForBackup", ends("PrepareForBackup", 1, VSS_E_UNEXPECTED), true, PreCom::None, 1,
         {"pAsync->Wait() failed with error code 80042302 (VSS_E_UNEXPECTED) ", "waitForAsync failed"}, true},
        {"wait after BackupComplete", queryFails("BackupComplete", E_ACCESSDENIED), true, PreCom::None, 1,
         {"pAsync->QueryStatus() failed with error code 80070005", "waitForAsync failed"}, true},
        {"PrepareForBackup still pending", pendingPrepare, true, PreCom::None, 1,
         {"pAsync->QueryStatus() retrieved the error code 42309", "waitForAsync failed"}, true},
        {"PrepareForBackup cancelled", ends("PrepareForBackup", 1, VSS_S_ASYNC_CANCELLED), true, PreCom::None, 1,
         {"pAsync->QueryStatus() retrieved the error code 4230b", "waitForAsync failed"}, true},
        {"DoSnapshotSet still pending", pendingSet, true, PreCom::None, static_cast<int>(VSS_S_ASYNC_PENDING),
         {"pAsync->QueryStatus() retrieved the error code 42309", "waitForAsync failed hr=271113 "}, true},
        {"veto through Wait", ends("DoSnapshotSet", 1, kVeto), true, PreCom::None, kVeto,
         {"pAsync->Wait() failed with error code 80042306" + veto, "waitForAsync failed hr=2147754758 ",
          "assumming timeout occured in VSS provider waiting for thaw"},
         true},
        {"veto through QueryStatus", endsQueried("DoSnapshotSet", kVeto), true, PreCom::None, kVeto,
         {"pAsync->QueryStatus() retrieved the error code 80042306" + veto, "waitForAsync failed hr=2147754758 ",
          "assumming timeout occured in VSS provider waiting for thaw"},
         true},
        {"snapshot set fails otherwise", ends("DoSnapshotSet", 1, VSS_E_HOLD_WRITES_TIMEOUT), true, PreCom::None,
         static_cast<int>(VSS_E_HOLD_WRITES_TIMEOUT),
         {"pAsync->Wait() failed with error code 80042314 (VSS encountered problems while sending events to "
          "writers) ",
          "waitForAsync failed hr=2147754772 "},
         true},
        {"snapshot set fails otherwise, told by QueryStatus", endsQueried("DoSnapshotSet", VSS_E_HOLD_WRITES_TIMEOUT),
         true, PreCom::None, 1,
         {"pAsync->QueryStatus() retrieved the error code 80042314 (VSS encountered problems while sending events "
          "to writers) ",
          "waitForAsync failed hr=0 "},
         true},
        {"writer status after PrepareForBackup", fails("GatherWriterStatus", VSS_E_BAD_STATE, 1), false,
         PreCom::None, 1,
         {"GatherWriterStatus failed with error code 80042301 (VSS_E_BAD_STATE) ", "gatherWriterStatus failed"},
         true},
        {"writer status after DoSnapshotSet", waitFails("GatherWriterStatus", 2, E_UNEXPECTED), true, PreCom::None,
         1,
         {"pAsync->Wait() failed with error code 8000ffff (The shadow copy provider had an error. Please see the "
          "system and application event logs for more information) ",
          "waitForAsync failed ", "gatherWriterStatus failed"},
         true},
        {"writer status after BackupComplete", fails("FreeWriterStatus", VSS_E_UNEXPECTED, 3), false, PreCom::None,
         1, {"FreeWriterStatus failed with error code 80042302 (VSS_E_UNEXPECTED) ", "gatherWriterStatus failed"},
         true},
    };
}

TEST_F(VssRequesterTest, EachFailingStepEndsWithItsCodeAndLeavesVssAsItWas) {
    Tweaks::instance()->update("t_WaitAsyncTimeoutMsec", "200");
    for (const auto& step : failingSteps()) {
        SCOPED_TRACE(step.name);
        VssScenario scenario = machine();
        if (!step.outcome.method.empty()) scenario.outcomes.push_back(step.outcome);
        const Outcome r = run(scenario, RequesterArgs(), step.pre);
        EXPECT_FALSE(r.threw);
        EXPECT_EQ(r.result, step.result);

        std::vector<std::string> errors;
        for (const auto& line : sharedClient().lines()) {
            if (line.find(",Error,") != std::string::npos) errors.push_back(message(line));
        }
        EXPECT_EQ(errors, step.errors);

        const std::string method = step.outcome.method.empty() ? "CoInitialize" : step.outcome.method;
        const size_t failure = failureIndex(r, method, step.outcome.method.empty() ? 1 : step.outcome.occurrence,
                                            step.inOperation);
        ASSERT_LT(failure, r.journal.size()) << dump(r.journal);
        std::vector<std::string> expected;
        if (step.abort) expected.push_back("AbortBackup = 0");
        const bool created = std::count(r.journal.begin(), r.journal.end(), "CreateVssBackupComponentsInternal = 0");
        if (created) expected.push_back("Release 0");
        if (step.pre != PreCom::Multi) expected.push_back("CoUninitialize");
        EXPECT_EQ(after(r, failure), expected) << dump(r.journal);
        EXPECT_EQ(logged(r, "AbortBackup..."), step.abort);
        EXPECT_EQ(logged(r, "Releasing backup components"), created);
        expectAsyncsReleasedOnce(r);
        EXPECT_EQ(r.comAfter, r.comBefore) << "COM left unbalanced";
    }
}

TEST_F(VssRequesterTest, AnExceptionStillAbortsReleasesAndUninitialises) {
    struct Case {
        const char* name;
        VssOutcome outcome;
        bool abort;
    };
    auto throws = [](const char* method, unsigned occurrence = 1) {
        VssOutcome o = operation(method, occurrence);
        o.throwBadAlloc = true;
        return o;
    };
    const std::vector<Case> cases = {
        {"before SetBackupState", throws("InitializeForBackup"), false},
        {"at SetBackupState", throws("SetBackupState"), true},
        {"in the snapshot set", throws("PrepareForBackup"), true},
        {"reading a writer", throws("GetWriterStatus", 2), true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        VssScenario scenario = machine();
        scenario.outcomes.push_back(c.outcome);
        const Outcome r = run(scenario);
        EXPECT_TRUE(r.threw);
        const size_t failure = failureIndex(r, c.outcome.method, c.outcome.occurrence, false);
        ASSERT_LT(failure, r.journal.size()) << dump(r.journal);
        std::vector<std::string> expected;
        if (c.abort) expected.push_back("AbortBackup = 0");
        expected.push_back("Release 0");
        expected.push_back("CoUninitialize");
        EXPECT_EQ(after(r, failure), expected) << dump(r.journal);
        expectAsyncsReleasedOnce(r);
        EXPECT_EQ(r.comAfter, r.comBefore);
        EXPECT_EQ(platform_test::setsInProgress(), 0);
        // Nothing stays open in the service: the next snapshot goes through.
        EXPECT_EQ(run(machine()).result, 0);
    }
}

TEST_F(VssRequesterTest, AWholeSequenceSucceedsWithoutAbort) {
    const Outcome r = run(machine());
    EXPECT_EQ(r.result, 0);
    std::vector<std::string> methods;
    for (const auto& line : r.journal) {
        const std::string word = firstWord(line);
        if (!startsWith(word, "async") && word != "FindVolumeClose" && word != "GetWriterStatus" &&
            word != "GetWriterStatusCount" && word != "AddToSnapshotSet") {
            methods.push_back(word);
        }
    }
    const std::vector<std::string> expected = {
        "CoInitialize", "CreateVssBackupComponentsInternal", "InitializeForBackup", "SetBackupState",
        "GatherWriterMetadata", "StartSnapshotSet", "PrepareForBackup", "GatherWriterStatus", "FreeWriterStatus",
        "DoSnapshotSet", "GatherWriterStatus", "FreeWriterStatus", "BackupComplete", "GatherWriterStatus",
        "FreeWriterStatus", "Release", "CoUninitialize"};
    EXPECT_EQ(methods, expected) << dump(r.journal);
    EXPECT_EQ(r.log.front(), " vssBackupType=5  snapshotVolumesUserVecSize=0 ");
    EXPECT_TRUE(logged(r, "Releasing backup components"));
    EXPECT_FALSE(logged(r, "AbortBackup..."));
    EXPECT_EQ(r.log.back(), "Releasing backup components");
    expectAsyncsReleasedOnce(r);
    EXPECT_EQ(r.comAfter, r.comBefore);
}

TEST_F(VssRequesterTest, BackupStateIsCopyUnlessAType) {
    struct Case {
        int32_t type;
        const char* state;
        const char* first;
    };
    const std::vector<Case> cases = {
        {-1, "SetBackupState 0 1 5 0 = 0", " vssBackupType=5  snapshotVolumesUserVecSize=0 "},
        {1, "SetBackupState 0 1 1 0 = 0", " vssBackupType=1  snapshotVolumesUserVecSize=0 "},
    };
    for (const auto& c : cases) {
        RequesterArgs args;
        args.m_backupType = c.type;
        const Outcome r = run(machine(), args);
        EXPECT_EQ(r.result, 0);
        EXPECT_EQ(std::count(r.journal.begin(), r.journal.end(), c.state), 1) << dump(r.journal);
        EXPECT_EQ(r.log.front(), c.first);
    }
}

TEST_F(VssRequesterTest, EveryWaitUsesTheTweakedTimeout) {
    Tweaks::instance()->update("t_WaitAsyncTimeoutMsec", "1234");
    const Outcome r = run(machine());
    EXPECT_EQ(r.result, 0);
    int waits = 0;
    for (const auto& line : r.journal) {
        if (line.find(".Wait ") == std::string::npos) continue;
        ++waits;
        EXPECT_EQ(line.substr(line.find(".Wait ") + 6), "1234");
    }
    EXPECT_EQ(waits, 7);  // metadata, prepare, three writer gathers, snapshot set, completion
    EXPECT_TRUE(logged(r, "waiting async for: 1234 Msec"));
}

TEST_F(VssRequesterTest, VolumeSelection) {
    struct Case {
        const char* name;
        std::vector<std::wstring> filter;
        bool otherProvider;
        std::vector<VssOutcome> outcomes;
        std::vector<std::string> adds;     // journal lines of AddToSnapshotSet
        std::vector<std::string> skipped;  // volumes logged as skipped
        int result;
    };
    const std::string p = std::string(" ") + kProviderText;
    const std::string a = kVolumeAText, b = kVolumeBText, c = kVolumeCText;
    const std::vector<Case> cases = {
        {"no filter", {}, false, {}, {"AddToSnapshotSet " + a + p + " = 0", "AddToSnapshotSet " + b + p + " = 0",
                                       "AddToSnapshotSet " + c + p + " = 0"}, {}, 0},
        {"a GUID fragment, case-sensitive", {L"1A2B3C4D"}, false, {}, {"AddToSnapshotSet " + a + p + " = 0"},
         {b, c}, 0},
        {"two entries", {L"5E6F", L"0000000C"}, false, {},
         {"AddToSnapshotSet " + b + p + " = 0", "AddToSnapshotSet " + c + p + " = 0"}, {a}, 0},
        {"an empty entry", {L"nothing", L""}, false, {},
         {"AddToSnapshotSet " + a + p + " = 0", "AddToSnapshotSet " + b + p + " = 0",
          "AddToSnapshotSet " + c + p + " = 0"}, {}, 0},
        {"no match", {L"C:"}, false, {}, {}, {a, b, c}, static_cast<int>(VSS_E_BAD_STATE)},
        {"a failing add", {}, false, {fails("AddToSnapshotSet", VSS_E_VOLUME_NOT_SUPPORTED_BY_PROVIDER)},
         {"AddToSnapshotSet " + a + p + " = 8004230e", "AddToSnapshotSet " + b + p + " = 0",
          "AddToSnapshotSet " + c + p + " = 0"}, {}, 0},
        {"provider not registered", {L"5E6F"}, true, {}, {"AddToSnapshotSet " + b + p + " = 80042304"}, {a, c},
         static_cast<int>(VSS_E_BAD_STATE)},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        VssScenario scenario = machine();
        scenario.outcomes = k.outcomes;
        if (k.otherProvider) scenario.registeredProvider = kWriterId;
        RequesterArgs args;
        args.m_volumes = k.filter;
        const Outcome r = run(scenario, args);
        EXPECT_EQ(r.result, k.result);
        std::vector<std::string> adds;
        for (const auto& line : r.journal) {
            if (firstWord(line) == "AddToSnapshotSet") adds.push_back(line);
        }
        EXPECT_EQ(adds, k.adds);
        std::vector<std::string> skipped;
        for (const auto& m : r.log) {
            if (startsWith(m, "Skipping SnapShotSet for volume: ")) skipped.push_back(m.substr(33));
        }
        EXPECT_EQ(skipped, k.skipped);
        for (const auto& add : k.adds) {
            const std::string path = add.substr(17, add.find(' ', 17) - 17);
            const std::string code = add.substr(add.rfind(' ') + 1);
            EXPECT_TRUE(logged(r, "AddToSnapshotSet for volume " + path + " returned " + code)) << path;
        }
        EXPECT_EQ(r.log.front(), " vssBackupType=5  snapshotVolumesUserVecSize=" + std::to_string(k.filter.size()) +
                                     " ");
    }
}

TEST_F(VssRequesterTest, WriterLines) {
    VssScenario scenario = machine();
    scenario.writers = {
        {u"System Writer", VSS_WS_WAITING_FOR_BACKUP_COMPLETE, S_OK, kWriterId, kInstanceId},
        {u"Broken", VSS_WS_STABLE, S_OK, kWriterId, kInstanceId},
        {u"SQL Writer \u00e9\xD800", VSS_WS_FAILED_AT_FREEZE, static_cast<HRESULT>(0x800423F4u), kInstanceId,
         kWriterId},
    };
    scenario.outcomes = {fails("GetWriterStatus", VSS_E_UNEXPECTED, 2)};
    const Outcome r = run(scenario);
    EXPECT_EQ(r.result, 0) << "a writer in a failed state is only logged";
    const std::string w = "{11111111-2222-3333-4444-555555555555}";
    const std::string i = "{AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEE0F}";
    EXPECT_TRUE(logged(r, "GetWriterStatus for writer 0:  WriterName: System Writer .  Status: 5 "
                          "(VSS_WS_WAITING_FOR_BACKUP_COMPLETE)  Writer Failure code: 0 Writer ID: " +
                              w + " Instance ID: " + i));
    EXPECT_TRUE(logged(r, "GetWriterStatus 1 failed with error code 80042302 (VSS_E_UNEXPECTED) "));
    EXPECT_TRUE(logged(r, "GetWriterStatus for writer 2:  WriterName: SQL Writer \xC3\xA9\xEF\xBF\xBD .  Status: 9 "
                          "(VSS_WS_FAILED_AT_FREEZE)  Writer Failure code: 800423f4 Writer ID: " +
                              i + " Instance ID: " + w));
    EXPECT_TRUE(logged(r, "GetWriterStatusCount returned number of writers: 3"));
    // Three gathers: the failing writer is skipped only the first time; every name freed (checked on tear-down).
    EXPECT_EQ(std::count_if(r.log.begin(), r.log.end(),
                            [](const std::string& m) { return startsWith(m, "GetWriterStatus for writer "); }),
              8);
}

// A third-party writer's name forges no log record: its line ends are shown, and every record stays one line.
TEST_F(VssRequesterTest, WriterNameLineEndsAreShown) {
    VssScenario scenario = machine();
    scenario.writers = {
        {u"Evil Writer\n2026-01-01 00:00:00.000,Info,1,NON,,wmain,Vantrell.exe done. ret=0 \r\nx", VSS_WS_STABLE,
         S_OK, kWriterId, kInstanceId},
    };
    const Outcome r = run(scenario);
    EXPECT_EQ(r.result, 0);
    EXPECT_TRUE(logged(r, "GetWriterStatus for writer 0:  WriterName: Evil Writer\\n2026-01-01 00:00:00.000,Info,1,"
                          "NON,,wmain,Vantrell.exe done. ret=0 \\r\\nx .  Status: 1 (VSS_WS_STABLE)  Writer Failure "
                          "code: 0 Writer ID: {11111111-2222-3333-4444-555555555555} Instance ID: "
                          "{AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEE0F}"))
        << dump(r.log);
    for (const auto& line : sharedClient().lines()) {
        EXPECT_EQ(line.find('\r'), std::string::npos) << line;
        EXPECT_EQ(line.find('\n'), line.size() - 1) << line;
    }
}

TEST_F(VssRequesterTest, WriterCountFailureIsLoggedAndTheCheckGoesOn) {
    VssScenario scenario = machine();
    scenario.outcomes = {fails("GetWriterStatusCount", VSS_E_BAD_STATE, 1)};
    const Outcome r = run(scenario);
    EXPECT_EQ(r.result, 0);
    EXPECT_TRUE(logged(r, "GetWriterStatusCount failed with error code 80042301 (VSS_E_BAD_STATE) "));
}

TEST_F(VssRequesterTest, WaitForAsyncWithoutAnOperation) {
    platform_test::setVssScenario(machine());
    sharedClient().clear();
    HRESULT out = 0x1234;
    EXPECT_FALSE(waitForAsync(nullptr, &out));
    EXPECT_EQ(out, 0x1234);
    ASSERT_EQ(sharedClient().lines().size(), 1u);
    EXPECT_EQ(message(sharedClient().lines()[0]), "pAsync is null so not waiting");
}

TEST_F(VssRequesterTest, VolumeListFailures) {
    struct Case {
        const char* name;
        DWORD firstError;
        unsigned failAfter;
        DWORD nextError;
        std::vector<std::wstring> expected;
        std::vector<std::string> errors;
        bool closed;
    };
    const std::vector<Case> cases = {
        {"all", 0, 0, 0, {kVolumeA, kVolumeB, kVolumeC}, {}, true},
        {"first fails", ERROR_ACCESS_DENIED, 0, 0, {}, {"FindFirstVolumeW failed with error code 5"}, false},
        {"next fails", 0, 2, ERROR_NOT_ENOUGH_MEMORY, {kVolumeA, kVolumeB},
         {"FindNextVolumeW failed with error code 8"}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        VssScenario scenario = machine();
        scenario.findFirstError = c.firstError;
        scenario.findNextFailAfter = c.failAfter;
        scenario.findNextError = c.nextError;
        platform_test::setVssScenario(scenario);
        platform_test::clearVssJournal();
        sharedClient().clear();
        EXPECT_EQ(getVolumeList(), c.expected);
        std::vector<std::string> errors;
        for (const auto& line : sharedClient().lines()) {
            if (line.find(",Error,") != std::string::npos) errors.push_back(message(line));
        }
        EXPECT_EQ(errors, c.errors);
        const auto journal = platform_test::vssJournal();
        EXPECT_EQ(std::count(journal.begin(), journal.end(), "FindVolumeClose"), c.closed ? 1 : 0);
    }
}

TEST_F(VssRequesterTest, TheScenarioFileServesAProcessWithoutOne) {
    VssScenario scenario = machine();
    scenario.outcomes = {fails("StartSnapshotSet", VSS_E_UNEXPECTED)};
    scenario.writers[0].name = u"Writer \u00e9";
    platform_test::writeVssScenarioFile(scenario);
    platform_test::clearVssScenario();
    platform_test::clearVssJournal();
    sharedClient().clear();
    const int result = VssRequester().DoSnapshot(RequesterArgs());
    EXPECT_EQ(result, static_cast<int>(VSS_E_UNEXPECTED));
    EXPECT_EQ(getVolumeList(), (std::vector<std::wstring>{kVolumeA, kVolumeB, kVolumeC}));
    // The journal file holds what the journal in memory holds.
    const std::string file = readFile(platform_test::vssJournalPath());
    for (const auto& line : platform_test::vssJournal()) EXPECT_NE(file.find("\t" + line + "\n"), std::string::npos);
    std::remove(((platform_test::vssJournalPath()).substr(0, platform_test::vssJournalPath().rfind('/')) +
                 "/scenario.txt").c_str());
}

}  // namespace
