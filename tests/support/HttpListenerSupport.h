#pragma once
// Fixture pieces for the tests of the HTTP flow listener: its log lines, the servers' request targets and the
// listener's arguments.
#include "Arguments.h"
#include "HttpTestServer.h"

#include <string>
#include <vector>

extern const std::string kPingPath;
extern const std::string kInsertPath;

// "<severity>,<function>,<text>" of each line the HTTP listener logged to the shared client, in order.
std::vector<std::string> httpListenerLines();
// The request targets a server received, in order.
std::vector<std::string> targets(HttpTestServer& server);
// The insert's path for these MAC addresses and this encoded name.
std::string insertPath(const std::vector<std::wstring>& macs, const std::string& encodedTag);
Arguments listenerArguments(const std::wstring& localUrl, unsigned short localPort, const std::wstring& peerUrl,
                            unsigned short peerPort, const std::wstring& tag = L"abc");
