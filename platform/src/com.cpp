// COM of the stand-in: apartments per thread, task memory and BSTRs with live counts, CLSID text.
#include "vss_internal.h"

#include <platform/testing_vss.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

enum class Model { None, Apartment, Multi };
thread_local int t_initCount = 0;
thread_local Model t_model = Model::None;
std::atomic<long> g_liveBstrs{0};
std::atomic<long> g_liveTaskMem{0};

HRESULT initialize(Model model) {
    if (t_initCount > 0 && t_model != model) return RPC_E_CHANGED_MODE;
    t_model = model;
    return ++t_initCount == 1 ? S_OK : S_FALSE;
}

}  // namespace

HRESULT CoInitialize(LPVOID) {
    const HRESULT hr = initialize(Model::Apartment);
    platform::detail::vssJournal("CoInitialize " + platform::detail::hexCode(hr));
    return hr;
}

HRESULT CoInitializeEx(LPVOID, DWORD coInit) {
    const HRESULT hr = initialize((coInit & COINIT_APARTMENTTHREADED) ? Model::Apartment : Model::Multi);
    platform::detail::vssJournal("CoInitializeEx " + platform::detail::hexCode(hr));
    return hr;
}

void CoUninitialize() {
    platform::detail::vssJournal("CoUninitialize");
    if (t_initCount > 0 && --t_initCount == 0) t_model = Model::None;
}

LPVOID CoTaskMemAlloc(SIZE_T bytes) {
    void* memory = std::malloc(bytes ? bytes : 1);
    if (memory) ++g_liveTaskMem;
    return memory;
}

void CoTaskMemFree(LPVOID memory) {
    if (!memory) return;
    --g_liveTaskMem;
    std::free(memory);
}

HRESULT StringFromCLSID(REFCLSID clsid, LPOLESTR* text) {
    if (!text) return E_INVALIDARG;
    char narrow[40];
    std::snprintf(narrow, sizeof narrow, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned>(clsid.Data1), clsid.Data2, clsid.Data3, clsid.Data4[0], clsid.Data4[1],
                  clsid.Data4[2], clsid.Data4[3], clsid.Data4[4], clsid.Data4[5], clsid.Data4[6], clsid.Data4[7]);
    const size_t length = std::strlen(narrow);
    auto* wide = static_cast<OLECHAR*>(CoTaskMemAlloc((length + 1) * sizeof(OLECHAR)));
    if (!wide) {
        *text = nullptr;
        return E_OUTOFMEMORY;
    }
    for (size_t i = 0; i <= length; ++i) wide[i] = static_cast<OLECHAR>(narrow[i]);
    *text = wide;
    return S_OK;
}

BSTR SysAllocStringLen(const OLECHAR* text, UINT length) {
    auto* block = static_cast<unsigned char*>(std::malloc(sizeof(uint32_t) + (length + 1) * sizeof(OLECHAR)));
    if (!block) return nullptr;
    const uint32_t bytes = length * sizeof(OLECHAR);
    std::memcpy(block, &bytes, sizeof bytes);
    auto* units = reinterpret_cast<OLECHAR*>(block + sizeof(uint32_t));
    if (text) std::memcpy(units, text, bytes);
    else std::memset(units, 0, bytes);
    units[length] = 0;
    ++g_liveBstrs;
    return units;
}

BSTR SysAllocString(const OLECHAR* text) {
    if (!text) return nullptr;
    UINT length = 0;
    while (text[length]) ++length;
    return SysAllocStringLen(text, length);
}

void SysFreeString(BSTR text) {
    if (!text) return;
    --g_liveBstrs;
    std::free(reinterpret_cast<unsigned char*>(text) - sizeof(uint32_t));
}

UINT SysStringByteLen(BSTR text) {
    if (!text) return 0;
    uint32_t bytes = 0;
    std::memcpy(&bytes, reinterpret_cast<unsigned char*>(text) - sizeof(uint32_t), sizeof bytes);
    return bytes;
}

UINT SysStringLen(BSTR text) { return SysStringByteLen(text) / sizeof(OLECHAR); }

int platform_test::comInitCount() { return t_initCount; }
long platform_test::liveBstrCount() { return g_liveBstrs.load(); }
long platform_test::liveTaskMemCount() { return g_liveTaskMem.load(); }
