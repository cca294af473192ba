#pragma once
#include "Types.h"

#include <string>

namespace fuzz {

// Thrown in place of the fatal stop (the fuzz build's own fatalStop): a malformed input that the code rejects on
// purpose ends the input, not the fuzzer. A real crash still ends the fuzzer.
struct FatalStopReached {};

// Fatal stops reached so far, including those swallowed by the stream that was flushing an Assert line.
u64 fatalStops();

// Calls `body`; true when it ended in a fatal stop.
template <class Body>
bool endsInFatalStop(Body&& body) {
    const u64 before = fatalStops();
    try {
        body();
    } catch (const FatalStopReached&) {
        return true;
    }
    return fatalStops() != before;
}

// Once per process: a scratch folder of its own as the working directory, standard output and error streams of the
// C++ runtime silenced (the sanitizers and libFuzzer write to the descriptors directly).
void setUp(const char* name);

// Replaces the file with exactly `bytes`.
void writeFile(const std::string& path, const std::string& bytes);
void removeFile(const std::string& path);

// The signature text of a consistent-file slot: the version and the CRC-32 of `lines`, each followed by "\n".
std::string signatureOf(u64 version, const std::string& lines);

}  // namespace fuzz
