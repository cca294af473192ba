// The process entry of a program written for the wide entry point: the arguments arrive as UTF-8 bytes and reach
// wmain as wide strings. Linked only into programs that define wmain.
#include "../text_internal.h"

#include <string>
#include <vector>

extern "C" int wmain(int argc, wchar_t** argv);

// Never freed: the program's threads may still read its arguments while the process exits.
static std::vector<std::wstring>* g_arguments = nullptr;
static std::vector<wchar_t*>* g_argv = nullptr;

int main(int argc, char** argv) {
    g_arguments = new std::vector<std::wstring>();
    g_argv = new std::vector<wchar_t*>();
    auto* wide = g_arguments;
    auto* pointers = g_argv;
    wide->reserve(static_cast<size_t>(argc));
    for (int i = 0; i < argc; ++i) wide->push_back(platform::detail::utf8ToWide(argv[i] ? argv[i] : ""));
    for (auto& arg : *wide) pointers->push_back(arg.data());
    pointers->push_back(nullptr);
    return wmain(argc, pointers->data());
}
