// test-traits: linux-only
// Linux-only: checks the stand-in's COM and VSS themselves (their live counts and scenario are stand-in controls),
// since the requester's tests rely on them keeping Windows' rules.
#include "ChildProcess.h"
#include "TestSupport.h"

#include <objbase.h>
#include <oleauto.h>
#include <platform/testing.h>
#include <vsbackup.h>
#include <windows.h>

#include <chrono>
#include <cstring>
#include <thread>

using platform_test::VssOutcome;
using platform_test::VssScenario;

namespace {

const wchar_t* const kVolume = L"\\\\?\\Volume{1A2B3C4D-0000-4000-8000-00000000000A}\\";
const GUID kProvider = {0x4CA6E6D4, 0x15AF, 0x432D, {0xBF, 0x02, 0xA6, 0x33, 0xB6, 0xF7, 0x1A, 0xCE}};

VssScenario machine() {
    VssScenario s;
    s.volumes = {kVolume};
    s.registeredProvider = kProvider;
    return s;
}

std::u16string volumeUnits() {
    std::u16string units;
    for (const wchar_t* c = kVolume; *c; ++c) units.push_back(static_cast<char16_t>(*c));
    return units;
}

// Waits for the operation and gives its final status; releases it.
HRESULT finish(IVssAsync* async) {
    EXPECT_EQ(async->Wait(5000), S_OK);
    HRESULT status = 0;
    EXPECT_EQ(async->QueryStatus(&status, NULL), S_OK);
    async->Release();
    return status;
}

TEST(VssStandinTest, ComApartmentsPerThread) {
    std::thread([] {
        EXPECT_EQ(CoInitialize(NULL), S_OK);
        EXPECT_EQ(CoInitialize(NULL), S_FALSE);
        EXPECT_EQ(CoInitializeEx(NULL, COINIT_MULTITHREADED), RPC_E_CHANGED_MODE);
        EXPECT_EQ(platform_test::comInitCount(), 2);
        CoUninitialize();
        CoUninitialize();
        EXPECT_EQ(platform_test::comInitCount(), 0);
        EXPECT_EQ(CoInitializeEx(NULL, COINIT_MULTITHREADED), S_OK);
        std::thread([] { EXPECT_EQ(CoInitialize(NULL), S_OK) << "apartments are per thread"; CoUninitialize(); })
            .join();
        CoUninitialize();
    }).join();
}

TEST(VssStandinTest, StringsKeepWindowsLayout) {
    const long live = platform_test::liveBstrCount();
    BSTR text = SysAllocString(u"Writer");
    ASSERT_NE(text, nullptr);
    uint32_t bytes = 0;
    std::memcpy(&bytes, reinterpret_cast<const char*>(text) - 4, 4);
    EXPECT_EQ(bytes, 12u);
    EXPECT_EQ(SysStringLen(text), 6u);
    EXPECT_EQ(text[6], 0);
    EXPECT_EQ(platform_test::liveBstrCount(), live + 1);
    SysFreeString(text);
    EXPECT_EQ(platform_test::liveBstrCount(), live);

    LPOLESTR guid = nullptr;
    ASSERT_EQ(StringFromCLSID(kProvider, &guid), S_OK);
    EXPECT_EQ(std::u16string(guid), u"{4CA6E6D4-15AF-432D-BF02-A633B6F71ACE}");
    CoTaskMemFree(guid);
    static_assert(sizeof(OLECHAR) == 2 && sizeof(GUID) == 16 && sizeof(HRESULT) == 4);
}

TEST(VssStandinTest, OrderRulesOfTheService) {
    useOwnStandinRoot();
    platform_test::setVssScenario(machine());
    IVssBackupComponents* c = nullptr;
    ASSERT_EQ(CreateVssBackupComponentsInternal(&c), S_OK);
    IVssAsync* async = nullptr;
    VSS_ID id{};
    EXPECT_EQ(c->GatherWriterMetadata(&async), VSS_E_BAD_STATE) << "before InitializeForBackup";
    ASSERT_EQ(c->InitializeForBackup(NULL), S_OK);
    EXPECT_EQ(c->StartSnapshotSet(&id), VSS_E_BAD_STATE) << "before the metadata";
    ASSERT_EQ(c->GatherWriterMetadata(&async), S_OK);
    EXPECT_EQ(finish(async), VSS_S_ASYNC_FINISHED);
    ASSERT_EQ(c->StartSnapshotSet(&id), S_OK);
    EXPECT_EQ(c->StartSnapshotSet(&id), VSS_E_SNAPSHOT_SET_IN_PROGRESS);

    IVssBackupComponents* other = nullptr;
    ASSERT_EQ(CreateVssBackupComponentsInternal(&other), S_OK);
    ASSERT_EQ(other->InitializeForBackup(NULL), S_OK);
    ASSERT_EQ(other->GatherWriterMetadata(&async), S_OK);
    finish(async);
    EXPECT_EQ(other->StartSnapshotSet(&id), VSS_E_SNAPSHOT_SET_IN_PROGRESS) << "one set at a time on the machine";
    other->Release();

    std::u16string volume = volumeUnits();
    std::u16string unknown = u"\\\\?\\Volume{00000000-0000-0000-0000-000000000000}\\";
    EXPECT_EQ(c->AddToSnapshotSet(volume.data(), GUID{}, &id), VSS_E_PROVIDER_NOT_REGISTERED);
    EXPECT_EQ(c->AddToSnapshotSet(unknown.data(), kProvider, &id), VSS_E_OBJECT_NOT_FOUND);
    EXPECT_EQ(c->DoSnapshotSet(&async), VSS_E_BAD_STATE) << "before PrepareForBackup";
    ASSERT_EQ(c->PrepareForBackup(&async), S_OK);
    EXPECT_EQ(finish(async), VSS_S_ASYNC_FINISHED);
    EXPECT_EQ(c->DoSnapshotSet(&async), VSS_E_BAD_STATE) << "an empty set";
    EXPECT_EQ(c->BackupComplete(&async), VSS_E_BAD_STATE) << "before the snapshot set";
    EXPECT_EQ(c->GetWriterStatusCount(nullptr), VSS_E_BAD_STATE) << "before GatherWriterStatus";
    EXPECT_EQ(platform_test::setsInProgress(), 1);
    EXPECT_EQ(c->AbortBackup(), S_OK);
    EXPECT_EQ(platform_test::setsInProgress(), 0);
    c->Release();
    platform_test::clearVssScenario();
}

TEST(VssStandinTest, WaitHonoursItsTimeoutAndAPendingOperationBlocksTheNext) {
    useOwnStandinRoot();
    VssScenario s = machine();
    VssOutcome slow;
    slow.method = "PrepareForBackup";
    slow.delayMs = 400;
    s.outcomes = {slow};
    platform_test::setVssScenario(s);
    IVssBackupComponents* c = nullptr;
    ASSERT_EQ(CreateVssBackupComponentsInternal(&c), S_OK);
    IVssAsync* async = nullptr;
    VSS_ID id{};
    ASSERT_EQ(c->InitializeForBackup(NULL), S_OK);
    ASSERT_EQ(c->GatherWriterMetadata(&async), S_OK);
    finish(async);
    ASSERT_EQ(c->StartSnapshotSet(&id), S_OK);
    std::u16string volume = volumeUnits();
    ASSERT_EQ(c->AddToSnapshotSet(volume.data(), kProvider, &id), S_OK);
    ASSERT_EQ(c->PrepareForBackup(&async), S_OK);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(async->Wait(50), S_OK) << "a wait that runs out is no failure";
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(350));
    HRESULT status = 0;
    EXPECT_EQ(async->QueryStatus(&status, NULL), S_OK);
    EXPECT_EQ(status, VSS_S_ASYNC_PENDING);
    IVssAsync* next = nullptr;
    EXPECT_EQ(c->DoSnapshotSet(&next), VSS_E_BAD_STATE) << "while PrepareForBackup runs";
    EXPECT_EQ(finish(async), VSS_S_ASYNC_FINISHED);
    ASSERT_EQ(c->DoSnapshotSet(&next), S_OK);
    EXPECT_EQ(finish(next), VSS_S_ASYNC_FINISHED);
    c->Release();
    EXPECT_EQ(platform_test::setsInProgress(), 0) << "the set ends with the components";
    platform_test::clearVssScenario();
}

}  // namespace
