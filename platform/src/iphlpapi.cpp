// GetAdaptersInfo over /sys/class/net.
#include <iphlpapi.h>
#include <platform/testing_iphlpapi.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <vector>

static_assert(sizeof(void*) != 8 || sizeof(IP_ADAPTER_INFO) == 704, "IP_ADAPTER_INFO has the layout of x64");

namespace {

constexpr int kLinuxEther = 1;         // ARPHRD_ETHER
constexpr int kLinuxLoopback = 772;    // ARPHRD_LOOPBACK

std::mutex g_rootLock;
std::string g_root = "/sys/class/net";

std::string netRoot() {
    std::lock_guard<std::mutex> lock(g_rootLock);
    return g_root;
}

bool readLine(const std::string& path, std::string& out) {
    std::ifstream in(path);
    if (!in) return false;
    std::getline(in, out);
    return true;
}

bool exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

struct Adapter {
    std::string name;
    DWORD index = 0;
    UINT type = MIB_IF_TYPE_OTHER;
    std::vector<BYTE> address;
};

// "aa:bb:cc:dd:ee:ff" (any number of bytes, at most eight kept).
std::vector<BYTE> parseAddress(const std::string& text) {
    std::vector<BYTE> bytes;
    size_t at = 0;
    while (at < text.size() && bytes.size() < MAX_ADAPTER_ADDRESS_LENGTH) {
        char* end = nullptr;
        const unsigned long value = std::strtoul(text.c_str() + at, &end, 16);
        if (end == text.c_str() + at) break;
        bytes.push_back(static_cast<BYTE>(value));
        at = static_cast<size_t>(end - text.c_str());
        if (at < text.size() && text[at] == ':') ++at;
        else break;
    }
    return bytes;
}

std::vector<Adapter> listAdapters() {
    const std::string root = netRoot();
    std::vector<Adapter> adapters;
    DIR* dir = ::opendir(root.c_str());
    if (dir == nullptr) return adapters;
    while (dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        const std::string folder = root + "/" + name;
        std::string indexText, typeText, addressText;
        if (!readLine(folder + "/ifindex", indexText) || !readLine(folder + "/type", typeText)) continue;
        const int linuxType = std::atoi(typeText.c_str());
        if (linuxType == kLinuxLoopback) continue;
        Adapter adapter;
        adapter.name = name;
        adapter.index = static_cast<DWORD>(std::strtoul(indexText.c_str(), nullptr, 10));
        if (linuxType == kLinuxEther) {
            const bool wireless = exists(folder + "/wireless") || exists(folder + "/phy80211");
            adapter.type = wireless ? IF_TYPE_IEEE80211 : MIB_IF_TYPE_ETHERNET;
        }
        if (readLine(folder + "/address", addressText)) adapter.address = parseAddress(addressText);
        adapters.push_back(adapter);
    }
    ::closedir(dir);
    std::stable_sort(adapters.begin(), adapters.end(),
                     [](const Adapter& a, const Adapter& b) { return a.index < b.index; });
    return adapters;
}

void setAddressString(IP_ADDR_STRING& entry) {
    std::strcpy(entry.IpAddress.String, "0.0.0.0");
    std::strcpy(entry.IpMask.String, "0.0.0.0");
}

}  // namespace

namespace platform_test {
void setNetClassRoot(const char* folder) {
    std::lock_guard<std::mutex> lock(g_rootLock);
    g_root = folder != nullptr ? folder : "/sys/class/net";
}
}  // namespace platform_test

ULONG GetAdaptersInfo(PIP_ADAPTER_INFO adapterInfo, PULONG size) {
    if (size == nullptr) return ERROR_INVALID_PARAMETER;
    const std::vector<Adapter> adapters = listAdapters();
    if (adapters.empty()) return ERROR_NO_DATA;
    const ULONG needed = static_cast<ULONG>(adapters.size() * sizeof(IP_ADAPTER_INFO));
    if (adapterInfo == nullptr || *size < needed) {
        *size = needed;
        return ERROR_BUFFER_OVERFLOW;
    }
    std::memset(adapterInfo, 0, needed);
    for (size_t i = 0; i < adapters.size(); ++i) {
        IP_ADAPTER_INFO& record = adapterInfo[i];
        const Adapter& adapter = adapters[i];
        record.Next = i + 1 < adapters.size() ? &adapterInfo[i + 1] : nullptr;
        record.ComboIndex = adapter.index;
        std::strncpy(record.AdapterName, adapter.name.c_str(), MAX_ADAPTER_NAME_LENGTH);
        std::strncpy(record.Description, adapter.name.c_str(), MAX_ADAPTER_DESCRIPTION_LENGTH);
        record.AddressLength = static_cast<UINT>(adapter.address.size());
        std::copy(adapter.address.begin(), adapter.address.end(), record.Address);
        record.Index = adapter.index;
        record.Type = adapter.type;
        setAddressString(record.IpAddressList);
        setAddressString(record.GatewayList);
        setAddressString(record.DhcpServer);
        setAddressString(record.PrimaryWinsServer);
        setAddressString(record.SecondaryWinsServer);
    }
    return ERROR_SUCCESS;
}
