// The process entry of a program written for the wide Windows-subsystem entry point: wWinMain gets an instance
// handle of its own and the arguments after the program's name, joined by blanks. Linked only into programs that
// define wWinMain.
#include <windows.h>

#include <string>

extern "C" int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, LPWSTR commandLine, int showCommand);

namespace {
constexpr int kShowDefault = 10;  // SW_SHOWDEFAULT
char g_module;                    // its address is the program's instance handle
}  // namespace

int main(int argc, char** argv) {
    std::string joined;
    for (int i = 1; i < argc; ++i) joined += (i > 1 ? " " : "") + std::string(argv[i]);
    // The launcher reads no argument; the bytes are widened as they come.
    std::wstring line(joined.begin(), joined.end());
    return wWinMain(reinterpret_cast<HINSTANCE>(&g_module), nullptr, line.data(), kShowDefault);
}
