// The tweak-file reader and value parser. The rest of the input after its first byte goes through the line parser
// (both ways) and the value parser; the first byte chooses whether a registry then starts on it as the versioned
// file (strict), the extension file, or both. A malformed input may end in the deliberate fatal stop; anything else
// that goes wrong is a crash.
#include "FuzzSupport.h"
#include "Tweaks.h"

#include <cstdlib>
#include <cstring>
#include <sstream>
#include <sys/stat.h>

namespace {

const char* const kVersionedData = "tesk_tweaks/tweaks.txt.0";

// The text as the versioned file holds it after a clean write: lines cut at a NUL, without a carriage return
// before the line feed, at most 511 characters; so its signature always matches and the strict parser sees it.
std::string asVersionedFile(const std::string& text) {
    std::string out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        line.resize(std::strlen(line.c_str()));
        while (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.size() > 511) break;
        out += line + "\n";
    }
    return out;
}

void checkLines(const std::vector<Tweaks::TweakLine>& lines) {
    for (const auto& line : lines) {
        if (line.name.find('=') != std::string::npos || line.name.find(';') != std::string::npos) std::abort();
        if (line.value.find(';') != std::string::npos || trim(line.name) != line.name) std::abort();
        if (trim(line.value) != line.value || trim(line.comment) != line.comment) std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::setUp("tweaks");
    mkdir("tesk_tweaks", 0777);
    mkdir("test_appdata", 0777);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    if (size == 0) return 0;
    const u8 mode = bytes[0];
    const std::string text(reinterpret_cast<const char*>(bytes) + 1, size - 1);

    // The parser alone, both ways: a strict parse stops on a line without "=", a plain one skips it.
    for (const bool strict : {false, true}) {
        std::vector<Tweaks::TweakLine> lines;
        const bool stopped = fuzz::endsInFatalStop([&] {
            std::istringstream in(text);
            lines = Tweaks::getTweaksFromStream(in, strict);
        });
        if (stopped && !strict) std::abort();
        checkLines(lines);
        for (const auto& line : lines) {
            // Each value parses or stops.
            fuzz::endsInFatalStop([&] { const Tweaks::Tweak tweak(line.value); });
        }
    }

    // A registry's start on the text.
    const bool versioned = (mode & 1) != 0;
    const bool extension = (mode & 2) != 0;
    if (versioned) {
        const std::string data = asVersionedFile(text);
        fuzz::writeFile(kVersionedData, data);
        fuzz::writeFile(std::string(kVersionedData) + ".sig", fuzz::signatureOf(1, data));
    } else {
        fuzz::removeFile(kVersionedData);
        fuzz::removeFile(std::string(kVersionedData) + ".sig");
    }
    if (extension) {
        fuzz::writeFile("tweaks_extension.txt", text);
    } else {
        fuzz::removeFile("tweaks_extension.txt");
    }
    fuzz::endsInFatalStop([&] {
        Tweaks tweaks;
        tweaks.print();
        std::istringstream in(text);
        for (const auto& line : Tweaks::getTweaksFromStream(in, false)) {
            fuzz::endsInFatalStop([&] { tweaks.longVal(line.name, 0); });
            fuzz::endsInFatalStop([&] { tweaks.intVal(line.name, 0); });
            fuzz::endsInFatalStop([&] { tweaks.uintVal(line.name, 0u); });
        }
    });
    return 0;
}
