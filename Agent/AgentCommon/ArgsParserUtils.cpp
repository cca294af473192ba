#include "ArgsParserUtils.h"

#include "Logger.h"
#include "VisibleLineEnds.h"

#include <type_traits>

namespace {

// The dump's buffer: 49 bytes of text and the terminator.
constexpr size_t kDumpBufferSize = 50;

bool isHighSurrogate(wchar_t c) { return sizeof(wchar_t) == 2 && c >= 0xD800 && c <= 0xDBFF; }
bool isLowSurrogate(wchar_t c) { return sizeof(wchar_t) == 2 && c >= 0xDC00 && c <= 0xDFFF; }

void narrowForDump(const wchar_t* arg, char (&out)[kDumpBufferSize]) {
    size_t length = 0;
    for (const wchar_t* p = arg; p && *p && length < kDumpBufferSize - 1; ++p) {
        const auto unit = static_cast<std::make_unsigned_t<wchar_t>>(*p);
        if (unit <= 0x7F) {
            out[length++] = static_cast<char>(unit);
            continue;
        }
        out[length++] = '?';
        if (isHighSurrogate(*p) && isLowSurrogate(p[1])) ++p;
    }
    out[length] = '\0';
}

}  // namespace

void ArgsParserUtils::printArgs(int argc, wchar_t** argv) {
    LOG(Info) << "arguments are :" << std::endl;
    for (int i = 1; i < argc; ++i) {
        char text[kDumpBufferSize];
        narrowForDump(argv[i], text);
        LOG(Info) << visibleLineEnds(text) << std::endl;
    }
}
