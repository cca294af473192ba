// The process entry of a program written for the wide entry point: the arguments arrive as UTF-8 bytes and reach
// wmain as wide strings. Linked only into programs that define wmain.
#include <string>
#include <vector>

extern "C" int wmain(int argc, wchar_t** argv);

namespace {

constexpr wchar_t kReplacement = 0xFFFD;

// Each byte that does not belong to a well-formed sequence (a stray continuation byte, a cut or overlong sequence,
// a surrogate or a value past U+10FFFF) becomes one U+FFFD; decoding never fails.
std::wstring decodeUtf8(const std::string& text) {
    std::wstring out;
    const size_t n = text.size();
    for (size_t i = 0; i < n;) {
        const unsigned char lead = static_cast<unsigned char>(text[i]);
        if (lead < 0x80) {
            out += static_cast<wchar_t>(lead);
            ++i;
            continue;
        }
        size_t length = 0;
        char32_t c = 0, min = 0;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2, c = lead & 0x1F, min = 0x80;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3, c = lead & 0x0F, min = 0x800;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4, c = lead & 0x07, min = 0x10000;
        }
        bool ok = length != 0 && i + length <= n;
        for (size_t k = 1; ok && k < length; ++k) {
            const unsigned char next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) {
                ok = false;
            } else {
                c = (c << 6) | (next & 0x3F);
            }
        }
        if (ok && (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))) ok = false;
        if (!ok) {
            out += kReplacement;
            ++i;
            continue;
        }
        out += static_cast<wchar_t>(c);
        i += length;
    }
    return out;
}

}  // namespace

// Never freed: the program's threads may still read its arguments while the process exits.
static std::vector<std::wstring>* g_arguments = nullptr;
static std::vector<wchar_t*>* g_argv = nullptr;

int main(int argc, char** argv) {
    g_arguments = new std::vector<std::wstring>();
    g_argv = new std::vector<wchar_t*>();
    auto* wide = g_arguments;
    auto* pointers = g_argv;
    wide->reserve(static_cast<size_t>(argc));
    for (int i = 0; i < argc; ++i) wide->push_back(decodeUtf8(argv[i] ? argv[i] : ""));
    for (auto& arg : *wide) pointers->push_back(arg.data());
    pointers->push_back(nullptr);
    return wmain(argc, pointers->data());
}
