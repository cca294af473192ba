#include "HttpClient.h"

#include "Logger.h"
#include "Tweaks.h"
#include "VisibleLineEnds.h"
#include "WideText.h"

#include <cstdint>

namespace {

// Default limit of each connect, send and receive step. The insert runs while the volumes are frozen, and the
// provider thaws them on its own about ten seconds into the freeze: a reply later than that is of no use, and a
// server that never replies must not hold the agent. -1 lifts the limit.
constexpr int kDefaultTimeoutMsec = 10000;

// The text's UTF-16 code units, whatever the width of wchar_t.
std::u16string utf16Units(const std::wstring& text) {
    std::u16string units;
    units.reserve(text.size());
    for (wchar_t ch : text) {
        uint32_t c = static_cast<uint32_t>(ch);
        if (sizeof(wchar_t) == 2 || c < 0x10000) {
            units += static_cast<char16_t>(c);
        } else {
            if (c > 0x10FFFF) c = 0xFFFD;
            if (c < 0x10000) {
                units += static_cast<char16_t>(c);
            } else {
                c -= 0x10000;
                units += static_cast<char16_t>(0xD800 + (c >> 10));
                units += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
            }
        }
    }
    return units;
}

}  // namespace

std::wstring base64Encode(const unsigned char* bytes, size_t count) {
    std::wstring encoded;
    encoded.reserve((count + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= count; i += 3) {
        const unsigned b0 = bytes[i], b1 = bytes[i + 1], b2 = bytes[i + 2];
        encoded += base64Chars[b0 >> 2];
        encoded += base64Chars[((b0 & 3) << 4) + (b1 >> 4)];
        encoded += base64Chars[((b1 & 15) << 2) + (b2 >> 6)];
        encoded += base64Chars[b2 & 63];
    }
    const size_t rest = count - i;
    if (rest > 0) {
        const unsigned b0 = bytes[i], b1 = rest > 1 ? bytes[i + 1] : 0;
        const wchar_t group[3] = {base64Chars[b0 >> 2], base64Chars[((b0 & 3) << 4) + (b1 >> 4)],
                                  base64Chars[(b1 & 15) << 2]};
        encoded.append(group, rest + 1);
        encoded.append(3 - rest, L'=');
    }
    return encoded;
}

HttpClient::HttpClient(const std::wstring& serverUrl, INTERNET_PORT serverPort)
    : m_serverUrl(serverUrl), m_serverPort(serverPort) {
    LOG(Info) << "m_serverUrl = " << visibleLineEnds(toUtf8(m_serverUrl)) << std::endl;
    LOG(Info) << "m_serverPort = " << m_serverPort << std::endl;
}

HttpClient::~HttpClient() { closeHandles(); }

bool HttpClient::connect() {
    // Read before anything is frozen or guarded.
    const int timeoutMsec = Tweaks::instance()->intVal("t_httpClientTimeoutMsec", kDefaultTimeoutMsec);

    m_session = WinHttpOpen(HttpClientUserAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                            WINHTTP_NO_PROXY_BYPASS, 0);
    LOG(Info) << "WinHttpOpen returned " << m_session << std::endl;
    if (!m_session) {
        LOG(Error) << "Error " << GetLastError() << " in WinHttpOpen." << std::endl;
        return false;
    }
    if (!WinHttpSetTimeouts(m_session, timeoutMsec, timeoutMsec, timeoutMsec, timeoutMsec)) {
        LOG(Error) << "Error " << GetLastError() << " in WinHttpSetTimeouts." << std::endl;
        return false;
    }
    // Wine's WinHttpReceiveResponse keeps to this limit alone, not to the receive time-out; -1 stays unlimited.
    DWORD responseTimeoutMsec = static_cast<DWORD>(timeoutMsec);
    if (!WinHttpSetOption(m_session, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &responseTimeoutMsec,
                          sizeof(responseTimeoutMsec))) {
        LOG(Error) << "Error " << GetLastError() << " in WinHttpSetOption." << std::endl;
        return false;
    }
    m_connect = WinHttpConnect(m_session, m_serverUrl.c_str(), m_serverPort, 0);
    LOG(Info) << "WinHttpConnect returned " << m_connect << std::endl;
    if (!m_connect) {
        LOG(Error) << "Error " << GetLastError() << " in WinHttpConnect." << std::endl;
        return false;
    }
    return true;
}

bool HttpClient::get(const wchar_t* path) {
    // Nothing reads an earlier request once a new one starts; its connection is not left open behind it.
    if (m_request) {
        WinHttpCloseHandle(m_request);
        m_request = nullptr;
    }
    m_request = WinHttpOpenRequest(m_connect, L"GET", path, NULL, WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, 0);
    LOG(Info) << "WinHttpOpenRequest returned " << m_request << std::endl;
    if (!m_request) {
        LOG(Error) << "Error " << GetLastError() << " in WinHttpOpenRequest." << std::endl;
        return false;
    }
    m_result = WinHttpSendRequest(m_request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0);
    LOG(Info) << "WinHttpSendRequest returned " << m_result << std::endl;
    if (!m_result) {
        LOG(Error) << "Error " << GetLastError() << " in WinHttpSendRequest." << std::endl;
        return false;
    }
    m_result = WinHttpReceiveResponse(m_request, NULL);
    LOG(Info) << "WinHttpReceiveResponse returned " << m_result << std::endl;
    if (!m_result) {
        LOG(Error) << "Error " << GetLastError() << " in WinHttpReceiveResponse." << std::endl;
        return false;
    }
    return true;
}

bool HttpClient::insertVssCheckpoint(const std::vector<std::wstring>& macs, const std::wstring& tag) {
    // The servers decode the name from its UTF-16LE code units, low byte first.
    const std::u16string units = utf16Units(tag);
    std::vector<unsigned char> bytes;
    bytes.reserve(units.size() * 2);
    for (char16_t unit : units) {
        bytes.push_back(static_cast<unsigned char>(unit & 0xFF));
        bytes.push_back(static_cast<unsigned char>(unit >> 8));
    }
    const std::wstring encoded = base64Encode(bytes.data(), bytes.size());

    std::wstring macList;
    for (size_t i = 0; i < macs.size(); ++i) {
        if (i > 0) macList += macAddressSeparator;
        macList += macs[i];
    }
    const std::wstring path = InsertCheckpointPath + macList + L"/" + encoded;
    LOG(Info) << "Object name: " << toUtf8(path) << std::endl;
    return get(path.c_str());
}

void HttpClient::closeHandles() {
    if (m_request) {
        WinHttpCloseHandle(m_request);
        m_request = nullptr;
    }
    if (m_connect) {
        WinHttpCloseHandle(m_connect);
        m_connect = nullptr;
    }
    if (m_session) {
        WinHttpCloseHandle(m_session);
        m_session = nullptr;
    }
}
