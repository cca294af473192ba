// The registry calls as the programs rely on them: run against the stand-in's file-backed store on Linux and
// against Wine's registry, so both are held to the same behaviour. Each test works under a key of its own.
#include "MachineSupport.h"
#include "TestSupport.h"

#include <windows.h>

#include <string>
#include <vector>

namespace {

class RegistryCallsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { useOwnMachineState("registry-calls-machine"); }

    void SetUp() override {
        m_path = "Software\\TalvoRegistryTest\\" + uniqueName("key");
        ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, m_path.c_str(), 0, NULL, 0, KEY_ALL_ACCESS, NULL, &m_key, NULL),
                  0);
    }

    void TearDown() override {
        RegCloseKey(m_key);
        deleteTree(m_path);
    }

    static void deleteTree(const std::string& path) {
        for (const char* sub : {"\\Sub\\Leaf", "\\Sub"}) RegDeleteKeyA(HKEY_CURRENT_USER, (path + sub).c_str());
        RegDeleteKeyA(HKEY_CURRENT_USER, path.c_str());
    }

    std::string m_path;
    HKEY m_key = NULL;
};

TEST_F(RegistryCallsTest, OpeningNeverCreatesAKey) {
    HKEY key = NULL;
    const std::string missing = m_path + "\\Missing";
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, missing.c_str(), 0, KEY_READ, &key), 2);
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, missing.c_str(), 0, KEY_READ, &key), 2);
    EXPECT_EQ(RegOpenKeyExA(m_key, "Missing\\Deeper", 0, KEY_READ, &key), 2);
}

TEST_F(RegistryCallsTest, NamesAreComparedWithoutRegardToCase) {
    HKEY created = NULL, opened = NULL;
    DWORD disposition = 0;
    ASSERT_EQ(RegCreateKeyExA(m_key, "Sub\\Leaf", 0, NULL, 0, KEY_ALL_ACCESS, NULL, &created, &disposition), 0);
    EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
    ASSERT_EQ(RegOpenKeyExW(m_key, L"sUB\\lEAF", 0, KEY_ALL_ACCESS, &opened), 0);
    const BYTE data[] = {7, 0, 9};
    ASSERT_EQ(RegSetValueExA(created, "MixedCase", 0, REG_BINARY, data, 3), 0);
    DWORD type = 0, size = 16;
    BYTE read[16] = {};
    EXPECT_EQ(RegQueryValueExW(opened, L"MIXEDcase", NULL, &type, read, &size), 0);
    EXPECT_EQ(size, 3u);
    // Overwriting under another spelling replaces the value: one value, the new data.
    const BYTE other[] = {1};
    EXPECT_EQ(RegSetValueExA(opened, "mixedcase", 0, REG_BINARY, other, 1), 0);
    size = 16;
    EXPECT_EQ(RegQueryValueExA(created, "MixedCase", NULL, &type, read, &size), 0);
    EXPECT_EQ(size, 1u);
    EXPECT_EQ(RegDeleteValueA(created, "MIXEDCASE"), 0);
    EXPECT_EQ(RegQueryValueExA(created, "MixedCase", NULL, &type, read, &size), 2);
    HKEY again = NULL;
    EXPECT_EQ(RegCreateKeyExA(m_key, "SUB\\leaf", 0, NULL, 0, KEY_ALL_ACCESS, NULL, &again, &disposition), 0);
    EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
    RegCloseKey(again);
    RegCloseKey(opened);
    RegCloseKey(created);
}

TEST_F(RegistryCallsTest, DataIsKeptByteExactAcrossTheNarrowAndWideCalls) {
    std::vector<BYTE> data;
    for (int i = 0; i < 256; ++i) data.push_back(static_cast<BYTE>(255 - i));
    ASSERT_EQ(RegSetValueExW(m_key, L"Bytes", 0, REG_BINARY, data.data(), static_cast<DWORD>(data.size())), 0);
    std::vector<BYTE> read(300, 0x5A);
    DWORD type = 0, size = 300;
    ASSERT_EQ(RegQueryValueExA(m_key, "Bytes", NULL, &type, read.data(), &size), 0);
    EXPECT_EQ(type, REG_BINARY);
    read.resize(size);
    EXPECT_EQ(read, data);
    // An empty value exists and has no bytes.
    ASSERT_EQ(RegSetValueExA(m_key, "Empty", 0, REG_BINARY, data.data(), 0), 0);
    size = 300;
    EXPECT_EQ(RegQueryValueExW(m_key, L"Empty", NULL, &type, read.data(), &size), 0);
    EXPECT_EQ(size, 0u);
}

TEST_F(RegistryCallsTest, QueryReportsTheSizeAndTypeWhenTheBufferIsTooSmall) {
    const BYTE data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    ASSERT_EQ(RegSetValueExW(m_key, L"Wide", 0, REG_QWORD, data, 8), 0);
    struct Case {
        const char* name;
        bool withData;
        DWORD capacity;
        LONG rc;
    } cases[] = {
        {"too small", true, 7, 234},
        {"exact", true, 8, 0},
        {"size only", false, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        BYTE buffer[32] = {};
        DWORD type = 0, size = c.capacity;
        EXPECT_EQ(RegQueryValueExW(m_key, L"Wide", NULL, &type, c.withData ? buffer : NULL, &size), c.rc);
        EXPECT_EQ(size, 8u);
        EXPECT_EQ(type, REG_QWORD);
    }
    DWORD type = 0, size = 16;
    EXPECT_EQ(RegQueryValueExW(m_key, L"Absent", NULL, &type, NULL, &size), 2);
}

TEST_F(RegistryCallsTest, KeyOpenedForReadingCannotBeWritten) {
    HKEY reader = NULL;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, m_path.c_str(), 0, KEY_READ, &reader), 0);
    const BYTE data[] = {1};
    EXPECT_EQ(RegSetValueExA(reader, "Value", 0, REG_BINARY, data, 1), 5);
    ASSERT_EQ(RegSetValueExA(m_key, "Value", 0, REG_BINARY, data, 1), 0);
    EXPECT_EQ(RegDeleteValueA(reader, "Value"), 5);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(reader, "Value", NULL, NULL, NULL, &size), 0);
    EXPECT_EQ(size, 1u);
    EXPECT_EQ(RegDeleteValueA(m_key, "Missing"), 2);
    EXPECT_EQ(RegFlushKey(m_key), 0);
    RegCloseKey(reader);
}

TEST_F(RegistryCallsTest, ClosedHandleIsInvalid) {
    HKEY key = NULL;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, m_path.c_str(), 0, KEY_ALL_ACCESS, &key), 0);
    EXPECT_EQ(RegCloseKey(key), 0);
    const BYTE data[] = {1};
    EXPECT_EQ(RegSetValueExA(key, "Value", 0, REG_BINARY, data, 1), 6);
    EXPECT_EQ(RegQueryValueExA(key, "Value", NULL, NULL, NULL, NULL), 6);
    EXPECT_EQ(RegCloseKey(key), 6);
}

TEST_F(RegistryCallsTest, KeyWithSubkeysIsNotDeleted) {
    HKEY leaf = NULL;
    ASSERT_EQ(RegCreateKeyExA(m_key, "Sub\\Leaf", 0, NULL, 0, KEY_ALL_ACCESS, NULL, &leaf, NULL), 0);
    const BYTE data[] = {1};
    ASSERT_EQ(RegSetValueExA(leaf, "Value", 0, REG_BINARY, data, 1), 0);
    RegCloseKey(leaf);
    EXPECT_EQ(RegDeleteKeyA(m_key, "Sub"), 5);
    EXPECT_EQ(RegDeleteKeyW(m_key, L"Sub\\Leaf"), 0);  // with its value
    EXPECT_EQ(RegDeleteKeyA(m_key, "Sub"), 0);
    EXPECT_EQ(RegOpenKeyExA(m_key, "Sub", 0, KEY_READ, &leaf), 2);
    EXPECT_EQ(RegDeleteKeyA(m_key, "Sub"), 2);
}

}  // namespace
