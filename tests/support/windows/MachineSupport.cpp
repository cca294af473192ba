// The machine of a Windows test is the machine itself (under Wine, the prefix's).
#include "MachineSupport.h"

#include <shlobj.h>
#include <windows.h>

#include <cstdlib>

void useOwnMachineState(const std::string& prefix) { (void)prefix; }

void setEnvironment(const std::string& name, const std::string& value) { _putenv((name + "=" + value).c_str()); }

char pathListSeparator() { return ';'; }

std::string commonAppDataPath(const std::string& standinRoot, const std::string& relative) {
    (void)standinRoot;
    char folder[MAX_PATH] = {};
    SHGetFolderPathA(NULL, CSIDL_COMMON_APPDATA, NULL, 0, folder);
    std::string path = std::string(folder) + "\\" + relative;
    for (char& c : path) {
        if (c == '/') c = '\\';
    }
    return path;
}
