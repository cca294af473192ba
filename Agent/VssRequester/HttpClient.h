#pragma once
#include <windows.h>
#include <winhttp.h>

#include <cstddef>
#include <string>
#include <vector>

// The Base64 alphabet the management servers decode with: the standard one with '-' in place of '/'. Constant
// data, so it exists before any code runs.
inline constexpr wchar_t base64Chars[] = L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+-";
// Between two MAC addresses in the insert path.
inline constexpr wchar_t macAddressSeparator[] = L" ";

inline constexpr wchar_t PingPath[] = L"/KestrumService/AgentServer/ping";
// Followed by the MAC list, "/" and the encoded checkpoint name.
inline constexpr wchar_t InsertCheckpointPath[] = L"/KestrumService/AgentServer/insertlicensed/";
inline constexpr wchar_t HttpClientUserAgent[] = L"TaLVO Agent/1.0";

// Base64 of `count` bytes with the alphabet above and '=' padding.
std::wstring base64Encode(const unsigned char* bytes, size_t count);

// Synchronous HTTP client of one management server. Any response counts as an answer: neither the status nor the
// body is read. Used by one thread at a time.
class HttpClient {
public:
    HttpClient(const std::wstring& serverUrl, INTERNET_PORT serverPort);
    ~HttpClient();
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;

    // Opens the session and the connection; no network traffic yet.
    bool connect();
    // One GET of `path`; true when a response arrived.
    bool get(const wchar_t* path);
    // Asks the server to record the checkpoint `tag` for the machine with these MAC addresses.
    bool insertVssCheckpoint(const std::vector<std::wstring>& macs, const std::wstring& tag);
    // Closes the request, connection and session handles that are open, in that order.
    void closeHandles();

private:
    std::wstring m_serverUrl;
    INTERNET_PORT m_serverPort;
    BOOL m_result = FALSE;
    HINTERNET m_session = nullptr;
    HINTERNET m_connect = nullptr;
    HINTERNET m_request = nullptr;
};
