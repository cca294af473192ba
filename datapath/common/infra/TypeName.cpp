#include "TypeName.h"

#include <cxxabi.h>

#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <typeindex>

const char* readableTypeName(const std::type_info& type) {
    static std::mutex lock;
    static auto* names = new std::map<std::type_index, std::string>();  // never destroyed: threads outlive exit
    std::lock_guard<std::mutex> guard(lock);
    auto it = names->find(type);
    if (it == names->end()) {
        int status = 0;
        char* demangled = abi::__cxa_demangle(type.name(), nullptr, nullptr, &status);
        std::string name = "class ";
        name += status == 0 && demangled ? demangled : type.name();
        std::free(demangled);
        it = names->emplace(type, std::move(name)).first;
    }
    return it->second.c_str();
}
