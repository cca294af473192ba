#pragma once
#include <string>

// What a management server makes of one request target of the agent: a ping, or an insert with the machine's
// MAC list and the checkpoint name (Base64 of its UTF-16LE code units, '-' in place of '/').
struct CheckpointRequest {
    enum class Kind { Ping, Insert, Other };
    Kind kind = Kind::Other;
    std::string macs;     // percent-decoded
    std::string encoded;  // the name as it travelled
    std::string name;     // UTF-8; U+FFFD for what cannot be decoded
    bool nameValid = false;  // the Base64 and the UTF-16 were both well formed
};

CheckpointRequest parseCheckpointRequest(const std::string& target);
// The request target of a raw request's first line, or "".
std::string requestTarget(const std::string& requestBytes);
