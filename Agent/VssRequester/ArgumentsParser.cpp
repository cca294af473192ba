#include "ArgumentsParser.h"

#include "Logger.h"
#include "VisibleLineEnds.h"
#include "WideText.h"

#include <iostream>
#include <sstream>
#include <stdexcept>

namespace {

constexpr int kPositionalCount = 5;

// The keywords, built once; never destroyed, like every process-wide table.
const std::vector<std::wstring>& allowedKeywords() {
    static const auto* keywords = new std::vector<std::wstring>{L"volumes", L"backupType"};
    return *keywords;
}

bool isBlank(wchar_t c) { return c == L' ' || (c >= L'\t' && c <= L'\r'); }

// The runtime's decimal conversion to a 32-bit unsigned long, whatever the width of long here: leading blanks
// and a sign, then digits up to the first other character; a negative number wraps.
u32 toUnsigned32(const std::wstring& text) {
    size_t i = 0;
    while (i < text.size() && isBlank(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) negative = text[i++] == L'-';
    bool anyDigit = false, overflow = false;
    u64 value = 0;
    for (; i < text.size() && text[i] >= L'0' && text[i] <= L'9'; ++i) {
        anyDigit = true;
        if (!overflow) {
            value = value * 10 + static_cast<u64>(text[i] - L'0');
            overflow = value > 0xFFFFFFFFull;
        }
    }
    if (!anyDigit) throw std::invalid_argument("invalid stoul argument");
    if (overflow) throw std::out_of_range("stoul argument out of range");
    const u32 magnitude = static_cast<u32>(value);
    return negative ? 0u - magnitude : magnitude;
}

}  // namespace

void printUsage() {
    std::cout << "Usage: " << "Vantrell.exe"
              << " <local URL> <local port> <peer URL> <peer port> <tag> [keyword=value ...]" << std::endl;
    LOG(Error) << "Had to print usage" << std::endl;
}

void splitVolumesArgument(const std::wstring& value, std::vector<std::wstring>& volumes) {
    volumes.clear();
    std::wistringstream in(value);
    for (std::wstring item; std::getline(in, item, L',');) volumes.push_back(item);
}

int parse_keyword_args(std::vector<std::wstring> allowed, std::map<std::wstring, std::wstring>& out, int argc,
                       wchar_t** argv) {
    out.clear();
    if (argc <= kPositionalCount + 1) return 0;
    for (int i = kPositionalCount + 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        const size_t equals = arg.find(L'=');
        if (equals == std::wstring::npos) {
            std::cout << toUtf8(arg) << " is not in keyword=value format" << std::endl;
            return -1;
        }
        const std::wstring key = arg.substr(0, equals);
        const std::wstring value = arg.substr(equals + 1);
        bool known = false;
        for (const auto& keyword : allowed) known = known || keyword == key;
        if (!known) {
            std::cout << "Keyword is not recognized: " << toUtf8(key) << std::endl;
            std::cout << "Allowed keywords: ";
            for (const auto& keyword : allowed) std::cout << toUtf8(keyword) << ",";
            std::cout << std::endl;
            return -1;
        }
        out.emplace(key, value);  // an earlier occurrence stays
        LOG(Info) << "Keyword argument - " << visibleLineEnds(toUtf8(key)) << ": " << visibleLineEnds(toUtf8(value))
                  << std::endl;
    }
    return 0;
}

int ParseDr(int argc, wchar_t** argv, Arguments& arguments) {
    if (argc < kPositionalCount + 1) {
        printUsage();
        return 1;
    }
    arguments.m_localURL = argv[1];
    arguments.m_localPort = argv[2];
    arguments.m_peerURL = argv[3];
    arguments.m_peerPort = argv[4];
    arguments.m_tag = argv[5];

    std::map<std::wstring, std::wstring> keywords;
    const int rc = parse_keyword_args(allowedKeywords(), keywords, argc, argv);
    if (rc != 0 || arguments.m_tag.empty()) {
        printUsage();
        return 1;
    }
    RequesterArgs& requester = arguments.m_snapshotFlow.m_argsRequester;
    const auto volumes = keywords.find(L"volumes");
    if (volumes != keywords.end()) splitVolumesArgument(volumes->second, requester.m_volumes);

    requester.m_backupType = -1;
    const auto backupType = keywords.find(L"backupType");
    if (backupType != keywords.end()) {
        const u32 value = toUnsigned32(backupType->second);
        requester.m_backupType = static_cast<i32>(value);
        LOG(Info) << "Backup type is modified to: " << " arguments.m_snapshotFlow.m_argsRequester.m_backupType="
                  << static_cast<u32>(requester.m_backupType) << " " << std::endl;
    }
    return 0;
}
