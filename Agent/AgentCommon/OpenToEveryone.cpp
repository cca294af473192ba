#include "OpenToEveryone.h"

OpenToEveryone::OpenToEveryone() {
    InitializeSecurityDescriptor(&m_descriptor, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&m_descriptor, TRUE, NULL, FALSE);
    m_attributes.nLength = sizeof(SECURITY_ATTRIBUTES);
    m_attributes.lpSecurityDescriptor = &m_descriptor;
    m_attributes.bInheritHandle = FALSE;
}
