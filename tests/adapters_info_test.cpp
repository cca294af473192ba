// test-traits: linux-only
// Needs the stand-in's adapter folder control: GetAdaptersInfo and the listener's MAC list from fixture adapters,
// never the machine's own.
#include "HttpTestServer.h"
#include "SnapshotFlowInternallyInitiatedListener.h"
#include "TestSupport.h"
#include "WideText.h"

#include <iphlpapi.h>
#include <platform/testing.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct FakeAdapter {
    std::string name;
    int ifindex;
    int type;  // Linux's ARPHRD value
    std::string address;
    const char* wirelessEntry = nullptr;  // "wireless" or "phy80211"
};

// A folder laid out as /sys/class/net, pointed at for the test's lifetime.
class FakeNetClass {
public:
    explicit FakeNetClass(const std::vector<FakeAdapter>& adapters) : m_root(fs::absolute(uniqueName("net"))) {
        fs::create_directories(m_root);
        for (const auto& adapter : adapters) {
            const fs::path folder = m_root / adapter.name;
            fs::create_directories(folder);
            std::ofstream(folder / "ifindex") << adapter.ifindex << "\n";
            std::ofstream(folder / "type") << adapter.type << "\n";
            std::ofstream(folder / "address") << adapter.address << "\n";
            if (adapter.wirelessEntry) fs::create_directories(folder / adapter.wirelessEntry);
        }
        platform_test::setNetClassRoot(m_root.c_str());
    }
    ~FakeNetClass() {
        platform_test::setNetClassRoot(nullptr);
        std::error_code ignored;
        fs::remove_all(m_root, ignored);
    }

private:
    fs::path m_root;
};

std::vector<FakeAdapter> ethernetAdapters(int count) {
    std::vector<FakeAdapter> adapters;
    for (int i = 0; i < count; ++i) {
        char address[32];
        std::snprintf(address, sizeof address, "02:00:00:00:00:%02x", i + 1);
        adapters.push_back({"eth" + std::to_string(i), i + 2, 1, address});
    }
    return adapters;
}

std::vector<std::wstring> macs() {
    std::vector<std::wstring> list = {L"stale"};
    SnapshotFlowInternallyInitiatedListener::collectMacAddresses(list);
    return list;
}

TEST(AdaptersInfoTest, RecordsAreLinkedInsideTheBufferInIndexOrder) {
    FakeNetClass net({{"eth1", 3, 1, "0A:1b:2c:3d:4e:5f"},
                      {"lo", 1, 772, "00:00:00:00:00:00"},
                      {"wlan0", 2, 1, "a0:b1:c2:d3:e4:f5", "phy80211"},
                      {"tun0", 4, 65534, ""}});
    static_assert(sizeof(IP_ADAPTER_INFO) == 704, "the x64 record");
    std::vector<IP_ADAPTER_INFO> buffer(4);
    ULONG size = static_cast<ULONG>(buffer.size() * sizeof(IP_ADAPTER_INFO));
    ASSERT_EQ(GetAdaptersInfo(buffer.data(), &size), ERROR_SUCCESS);
    struct Expected {
        std::string name;
        DWORD index;
        UINT type;
        UINT addressLength;
    };
    const Expected expected[] = {{"wlan0", 2, IF_TYPE_IEEE80211, 6}, {"eth1", 3, MIB_IF_TYPE_ETHERNET, 6},
                                 {"tun0", 4, MIB_IF_TYPE_OTHER, 0}};
    PIP_ADAPTER_INFO record = buffer.data();
    for (const auto& e : expected) {
        ASSERT_NE(record, nullptr);
        EXPECT_GE(record, buffer.data());
        EXPECT_LT(record, buffer.data() + buffer.size());
        EXPECT_EQ(record->AdapterName, e.name);
        EXPECT_EQ(record->Index, e.index);
        EXPECT_EQ(record->Type, e.type);
        EXPECT_EQ(record->AddressLength, e.addressLength);
        record = record->Next;
    }
    EXPECT_EQ(record, nullptr);
    EXPECT_EQ(buffer[1].Address[0], 0x0a);
    EXPECT_EQ(buffer[1].Address[5], 0x5f);
}

TEST(AdaptersInfoTest, SizeErrorsAndNoAdapter) {
    struct Case {
        const char* name;
        int adapters;
        ULONG bufferSize;
        ULONG result;
        ULONG sizeAfter;
    };
    const Case cases[] = {
        {"32 fit the listener's buffer", 32, 22528, ERROR_SUCCESS, 22528},
        {"33 overflow it", 33, 22528, ERROR_BUFFER_OVERFLOW, 33 * 704},
        {"one byte short", 2, 2 * 704 - 1, ERROR_BUFFER_OVERFLOW, 2 * 704},
        {"none", 0, 22528, ERROR_NO_DATA, 22528},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeNetClass net(ethernetAdapters(c.adapters));
        std::vector<unsigned char> storage(c.bufferSize + 8);
        ULONG size = c.bufferSize;
        EXPECT_EQ(GetAdaptersInfo(reinterpret_cast<PIP_ADAPTER_INFO>(storage.data()), &size), c.result);
        EXPECT_EQ(size, c.sizeAfter);
    }
    FakeNetClass net(ethernetAdapters(1));
    EXPECT_EQ(GetAdaptersInfo(nullptr, nullptr), ERROR_INVALID_PARAMETER);
}

TEST(ListenerMacAddressesTest, OnlyEthernetInIndexOrderLowercaseWithDuplicates) {
    struct Case {
        const char* name;
        std::vector<FakeAdapter> adapters;
        std::vector<std::wstring> macs;
    };
    const Case cases[] = {
        {"mixed kinds",
         {{"eth1", 5, 1, "AA:BB:CC:DD:EE:FF"},
          {"lo", 1, 772, "00:00:00:00:00:00"},
          {"wlan0", 2, 1, "11:22:33:44:55:66", "wireless"},
          {"wlan1", 3, 1, "11:22:33:44:55:77", "phy80211"},
          {"eth0", 4, 1, "0a:1b:2c:3d:4e:5f"},
          {"ppp0", 6, 512, "12:34:56:78:9a:bc"},
          {"bond0", 7, 1, "0a:1b:2c:3d:4e:5f"}},
         {L"0a1b2c3d4e5f", L"aabbccddeeff", L"0a1b2c3d4e5f"}},
        {"no Ethernet adapter", {{"wlan0", 2, 1, "11:22:33:44:55:66", "wireless"}, {"ppp0", 3, 512, "12:34"}}, {}},
        {"no adapter at all", {}, {}},
        {"33 adapters give nothing", ethernetAdapters(33), {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeNetClass net(c.adapters);
        EXPECT_EQ(macs(), c.macs);
    }
    FakeNetClass net(ethernetAdapters(32));
    const auto all = macs();
    ASSERT_EQ(all.size(), 32u);
    EXPECT_EQ(all.front(), L"020000000001");
    EXPECT_EQ(all.back(), L"020000000020");
}

TEST(ListenerMacAddressesTest, TheInsertCarriesTheFixtureAddresses) {
    struct Case {
        const char* name;
        std::vector<FakeAdapter> adapters;
        std::string target;
    };
    const std::string insert = "/KestrumService/AgentServer/insertlicensed/";
    const Case cases[] = {
        {"two", {{"eth0", 2, 1, "0a:1b:2c:3d:4e:5f"}, {"eth1", 3, 1, "aa:bb:cc:dd:ee:ff"}},
         insert + "0a1b2c3d4e5f%20aabbccddeeff/YQBiAGMA"},
        {"none", {{"wlan0", 2, 1, "11:22:33:44:55:66", "wireless"}}, insert + "/YQBiAGMA"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeNetClass net(c.adapters);
        HttpTestServer server;
        ASSERT_NE(server.port(), 0);
        Arguments args;
        args.m_localURL = L"127.0.0.1";
        args.m_localPort = std::to_wstring(server.port());
        args.m_peerURL = L"0.0.0.0";
        args.m_peerPort = L"80";
        args.m_tag = L"abc";
        SnapshotFlowInternallyInitiatedListener listener(args);
        finishWithin(20000, "flow", [&] {
            ASSERT_EQ(listener.notifySnapshotPrepare(), 0);
            listener.notifySnapshotQuiesceSuccess();
            listener.notifySnapshotThawSuccess();
        });
        ASSERT_TRUE(server.waitForRequests(2, 5000));
        EXPECT_EQ(server.requests().at(1).target(), c.target);
    }
}

}  // namespace
