#include "HttpListenerSupport.h"

#include "TestSupport.h"
#include "WideText.h"

const std::string kPingPath = "/KestrumService/AgentServer/ping";
const std::string kInsertPath = "/KestrumService/AgentServer/insertlicensed/";

namespace {
const std::string kListener = ",NON,SnapshotFlowInternallyInitiatedListener,";
}

std::vector<std::string> httpListenerLines() {
    std::vector<std::string> out;
    for (const auto& line : sharedClient().linesWith(kListener)) {
        const size_t at = line.find(kListener);
        // "...,<severity>,<thread>,NON,..."
        const size_t threadStart = line.rfind(',', at - 1);
        const size_t severityStart = line.rfind(',', threadStart - 1) + 1;
        std::string rest = line.substr(at + kListener.size());
        while (!rest.empty() && (rest.back() == '\n' || rest.back() == '\r')) rest.pop_back();
        out.push_back(line.substr(severityStart, threadStart - severityStart) + "," + rest);
    }
    return out;
}

std::vector<std::string> targets(HttpTestServer& server) {
    std::vector<std::string> out;
    for (const auto& request : server.requests()) out.push_back(request.target());
    return out;
}

std::string insertPath(const std::vector<std::wstring>& macs, const std::string& encodedTag) {
    std::string path = kInsertPath;
    for (size_t i = 0; i < macs.size(); ++i) path += (i ? "%20" : "") + toUtf8(macs[i]);
    return path + "/" + encodedTag;
}

Arguments listenerArguments(const std::wstring& localUrl, unsigned short localPort, const std::wstring& peerUrl,
                            unsigned short peerPort, const std::wstring& tag) {
    Arguments args;
    args.m_localURL = localUrl;
    args.m_localPort = std::to_wstring(localPort);
    args.m_peerURL = peerUrl;
    args.m_peerPort = std::to_wstring(peerPort);
    args.m_tag = tag;
    return args;
}
