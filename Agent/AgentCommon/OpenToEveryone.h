#pragma once
#include <windows.h>

// Security attributes of the agent's named objects: not inheritable, with a present but null DACL, so the provider
// and the runners may open them whatever their account. The attributes point into the object: it stays in place.
class OpenToEveryone {
public:
    OpenToEveryone();
    OpenToEveryone(const OpenToEveryone&) = delete;
    OpenToEveryone& operator=(const OpenToEveryone&) = delete;

    LPSECURITY_ATTRIBUTES attributes() { return &m_attributes; }

private:
    SECURITY_DESCRIPTOR m_descriptor;
    SECURITY_ATTRIBUTES m_attributes;
};
