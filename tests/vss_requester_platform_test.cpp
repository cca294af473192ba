// The requester against the machine's own COM and VSS: the real ones under Wine, whose VSS has no backup
// components (E_NOTIMPL), and the stand-in's, which answers the same without a scenario.
#include "ChildProcess.h"
#include "TestSupport.h"
#include "Tweaks.h"
#include "VssRequester.h"

#include <windows.h>

#include <string>
#include <thread>
#include <vector>

namespace {

std::string message(std::string line) {
    size_t at = 0;
    for (int i = 0; i < 6 && at != std::string::npos; ++i) at = line.find(',', at + 1);
    std::string text = at == std::string::npos ? line : line.substr(at + 1);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

class VssRequesterPlatformTest : public ::testing::Test {
protected:
    void SetUp() override {
        useOwnStandinRoot();
        sharedClient().clear();
        Tweaks::instance()->update("t_WaitAsyncTimeoutMsec", "2000");
    }
};

enum class PreCom { None, Apartment, Multi };

TEST_F(VssRequesterPlatformTest, WithoutBackupComponentsTheCodeEndsTheCallAndComIsLeftAsFound) {
    struct Case {
        const char* name;
        PreCom pre;
        int result;
        const char* error;
        HRESULT againApartment;  // CoInitialize on the thread afterwards
    };
    const std::vector<Case> cases = {
        {"fresh thread", PreCom::None, static_cast<int>(E_NOTIMPL),
         "CreateVssBackupComponents failed with error code 80004001", S_OK},
        {"apartment already", PreCom::Apartment, 1, "CoInitialize failed with error code 1", S_FALSE},
        {"multithreaded already", PreCom::Multi, static_cast<int>(RPC_E_CHANGED_MODE),
         "CoInitialize failed with error code 80010106", RPC_E_CHANGED_MODE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sharedClient().clear();
        int result = 0;
        HRESULT again = S_OK;
        std::thread thread([&] {
            HRESULT pre = S_OK;
            if (c.pre == PreCom::Apartment) pre = CoInitialize(NULL);
            if (c.pre == PreCom::Multi) pre = CoInitializeEx(NULL, COINIT_MULTITHREADED);
            EXPECT_EQ(pre, S_OK);
            result = VssRequester().DoSnapshot(RequesterArgs());
            again = CoInitialize(NULL);
            if (again == S_OK || again == S_FALSE) CoUninitialize();
            if (c.pre != PreCom::None) CoUninitialize();
        });
        thread.join();
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(again, c.againApartment) << "the thread's COM was changed";
        std::vector<std::string> messages;
        for (const auto& line : sharedClient().lines()) messages.push_back(message(line));
        ASSERT_FALSE(messages.empty());
        EXPECT_EQ(messages.back(), c.error) << "nothing may follow the failure";
        for (const auto& m : messages) {
            EXPECT_NE(m, "AbortBackup...");
            EXPECT_NE(m, "Releasing backup components");
        }
    }
}

TEST_F(VssRequesterPlatformTest, TheMachineVolumesAreListedWithoutError) {
    const std::vector<std::wstring> volumes = getVolumeList();
    EXPECT_FALSE(volumes.empty());
    for (const auto& v : volumes) {
        EXPECT_EQ(v.rfind(L"\\\\?\\Volume{", 0), 0u);
        EXPECT_EQ(v.back(), L'\\');
    }
    for (const auto& line : sharedClient().lines()) EXPECT_EQ(line.find(",Error,"), std::string::npos) << line;
}

TEST_F(VssRequesterPlatformTest, GuidText) {
    EXPECT_EQ(guidToString(ProviderId), "{4CA6E6D4-15AF-432D-BF02-A633B6F71ACE}");
    const GUID low = {0x0000000A, 0x00B0, 0x0C00, {0, 1, 2, 3, 0xA4, 0xB5, 0xC6, 0xD7}};
    EXPECT_EQ(guidToString(low), "{0000000A-00B0-0C00-0001-0203A4B5C6D7}");
}

TEST_F(VssRequesterPlatformTest, TextLookups) {
    struct Case {
        uint32_t code;
        const char* text;
    };
    const std::vector<Case> codes = {
        {0x80042306u, " (VSS_E_PROVIDER_VETO) "},
        {0x80042314u, " (VSS encountered problems while sending events to writers) "},
        {0x80042315u,
         " (An error occurred while trying to contact VSS writers. Check for associated errors in the event log) "},
        {0x8000FFFFu, " (The shadow copy provider had an error. Please see the system and application event logs "
                      "for more information) "},
        {0x800423FFu, " (VSS_E_RESYNC_IN_PROGRESS) "},
        {0x80042303u, ""},
        {0u, ""},
        {0x00042306u, ""},
    };
    for (const auto& c : codes) EXPECT_EQ(hresultToText(static_cast<HRESULT>(c.code)), c.text) << c.code;
    EXPECT_EQ(vssErrorTexts().size(), 30u);

    struct State {
        int state;
        const char* text;
    };
    const std::vector<State> states = {{0, " (VSS_WS_UNKNOWN) "},
                                       {5, " (VSS_WS_WAITING_FOR_BACKUP_COMPLETE) "},
                                       {15, " (VSS_WS_FAILED_AT_BACKUPSHUTDOWN) "},
                                       {16, " (VSS_WS_COUNT) "},
                                       {17, ""},
                                       {-1, ""}};
    for (const auto& s : states) EXPECT_EQ(writerStateToText(s.state), s.text) << s.state;
    EXPECT_EQ(vssWriterStateNames().size(), 17u);
}

TEST_F(VssRequesterPlatformTest, ErrorLineCarriesTheCodeInHexAndItsText) {
    struct Case {
        const char* text;
        uint32_t code;
        const char* line;
    };
    const std::vector<Case> cases = {
        {"DoSnapshotSet failed with error code ", 0x80042306u,
         "DoSnapshotSet failed with error code 80042306 (VSS_E_PROVIDER_VETO) "},
        {"x ", 0x80070005u, "x 80070005"},
        {"x ", 0u, "x 0"},
        {"x ", 0x42309u, "x 42309"},
    };
    for (const auto& c : cases) {
        sharedClient().clear();
        output_error(c.text, static_cast<HRESULT>(c.code));
        ASSERT_EQ(sharedClient().lines().size(), 1u);
        const std::string line = sharedClient().lines()[0];
        EXPECT_NE(line.find(",Error,"), std::string::npos);
        EXPECT_NE(line.find(",output_error,"), std::string::npos) << line;
        EXPECT_EQ(message(line), c.line);
    }
}

}  // namespace
