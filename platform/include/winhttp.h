// Linux stand-in for the WinHTTP calls the programs use: synchronous plain-HTTP requests over blocking sockets,
// written from the documented behaviour of each call. No proxy is ever used; redirects are followed as by default.
#pragma once
#include <windows.h>

typedef LPVOID HINTERNET;
typedef WORD INTERNET_PORT;

#define WINHTTP_ACCESS_TYPE_DEFAULT_PROXY 0u
#define WINHTTP_ACCESS_TYPE_NO_PROXY 1u
#define WINHTTP_NO_PROXY_NAME NULL
#define WINHTTP_NO_PROXY_BYPASS NULL
#define WINHTTP_NO_REFERER NULL
#define WINHTTP_DEFAULT_ACCEPT_TYPES NULL
#define WINHTTP_NO_ADDITIONAL_HEADERS NULL
#define WINHTTP_NO_REQUEST_DATA NULL
#define WINHTTP_HEADER_NAME_BY_INDEX NULL
#define WINHTTP_NO_HEADER_INDEX NULL

#define INTERNET_DEFAULT_PORT 0
#define INTERNET_DEFAULT_HTTP_PORT 80

// WinHttpOpenRequest flags.
#define WINHTTP_FLAG_ESCAPE_DISABLE 0x00000040u
#define WINHTTP_FLAG_SECURE 0x00800000u

// WinHttpQueryHeaders information levels (only these two are served).
#define WINHTTP_QUERY_STATUS_CODE 19u
#define WINHTTP_QUERY_RAW_HEADERS_CRLF 22u
#define WINHTTP_QUERY_FLAG_NUMBER 0x20000000u

// WinHttpSetOption options (only this one is served).
#define WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT 7u

#ifndef ERROR_NOT_SUPPORTED
#define ERROR_NOT_SUPPORTED 50u
#endif
#ifndef ERROR_WINHTTP_TIMEOUT
#define ERROR_WINHTTP_TIMEOUT 12002u
#endif
#ifndef ERROR_WINHTTP_INVALID_OPTION
#define ERROR_WINHTTP_INVALID_OPTION 12009u
#endif
#ifndef ERROR_WINHTTP_INVALID_URL
#define ERROR_WINHTTP_INVALID_URL 12005u
#endif
#ifndef ERROR_WINHTTP_NAME_NOT_RESOLVED
#define ERROR_WINHTTP_NAME_NOT_RESOLVED 12007u
#endif
#ifndef ERROR_WINHTTP_INCORRECT_HANDLE_STATE
#define ERROR_WINHTTP_INCORRECT_HANDLE_STATE 12019u
#endif
#ifndef ERROR_WINHTTP_CANNOT_CONNECT
#define ERROR_WINHTTP_CANNOT_CONNECT 12029u
#endif
#ifndef ERROR_WINHTTP_CONNECTION_ERROR
#define ERROR_WINHTTP_CONNECTION_ERROR 12030u
#endif
#ifndef ERROR_WINHTTP_HEADER_NOT_FOUND
#define ERROR_WINHTTP_HEADER_NOT_FOUND 12150u
#endif
#ifndef ERROR_WINHTTP_INVALID_SERVER_RESPONSE
#define ERROR_WINHTTP_INVALID_SERVER_RESPONSE 12152u
#endif
#ifndef ERROR_WINHTTP_HEADER_SIZE_OVERFLOW
#define ERROR_WINHTTP_HEADER_SIZE_OVERFLOW 12183u
#endif
#ifndef ERROR_WINHTTP_UNRECOGNIZED_SCHEME
#define ERROR_WINHTTP_UNRECOGNIZED_SCHEME 12006u
#endif
#ifndef ERROR_WINHTTP_REDIRECT_FAILED
#define ERROR_WINHTTP_REDIRECT_FAILED 12156u
#endif

// A session: holds the user agent and the time-outs that its requests start with. No I/O.
HINTERNET WinHttpOpen(LPCWSTR agent, DWORD accessType, LPCWSTR proxyName, LPCWSTR proxyBypass, DWORD flags);
// Time-outs in milliseconds on a session or request handle; 0 and -1 mean no limit, below -1 fails with 87.
// The resolve limit is kept but not applied: name resolution runs under the resolver's own limits.
BOOL WinHttpSetTimeouts(HINTERNET handle, int resolveTimeout, int connectTimeout, int sendTimeout,
                        int receiveTimeout);
// WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT (a DWORD of milliseconds; 0 and -1 mean no limit) on a session, whose
// requests start with it, or on a request: the limit of the whole wait in WinHttpReceiveResponse. Any other option
// fails with ERROR_WINHTTP_INVALID_OPTION.
BOOL WinHttpSetOption(HINTERNET handle, DWORD option, LPVOID buffer, DWORD bufferLength);
// A connection target: host and port only, no I/O. Port 0 means 80.
HINTERNET WinHttpConnect(HINTERNET session, LPCWSTR serverName, INTERNET_PORT serverPort, DWORD reserved);
HINTERNET WinHttpOpenRequest(HINTERNET connect, LPCWSTR verb, LPCWSTR objectName, LPCWSTR version, LPCWSTR referrer,
                             LPCWSTR* acceptTypes, DWORD flags);
// Resolves, connects (every address in turn) and sends the request on a TCP connection of the request's own.
// A header length of (DWORD)-1 means zero-terminated headers.
BOOL WinHttpSendRequest(HINTERNET request, LPCWSTR headers, DWORD headersLength, LPVOID optional,
                        DWORD optionalLength, DWORD totalLength, DWORD_PTR context);
// Reads the response's status line and headers (interim 1xx responses skipped); the body is left unread.
// Redirects (301, 302, 303, 307, 308 with a Location) are followed as WinHTTP's default policy does, on a new
// connection each, at most 10 in a row (then ERROR_WINHTTP_REDIRECT_FAILED); 303, and 301 or 302 after a POST, go
// on as a GET without the body. A redirect to https fails with ERROR_NOT_SUPPORTED (no TLS here), to another
// scheme with ERROR_WINHTTP_UNRECOGNIZED_SCHEME; a target that cannot be reached fails as a send to it would.
BOOL WinHttpReceiveResponse(HINTERNET request, LPVOID reserved);
BOOL WinHttpQueryHeaders(HINTERNET request, DWORD infoLevel, LPCWSTR name, LPVOID buffer, LPDWORD bufferLength,
                         LPDWORD index);
// Reads the body: up to its Content-Length, else up to the end of the connection.
BOOL WinHttpReadData(HINTERNET request, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead);
// Closing a request closes its connection; closing a parent leaves its open children usable.
BOOL WinHttpCloseHandle(HINTERNET handle);
