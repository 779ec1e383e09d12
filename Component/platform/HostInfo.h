#pragma once

#include <string>

namespace velunor::platform {

// The local host's name as the system reports it ("" if it cannot say).
std::string LocalHostName();
// The first IPv4 address the name resolves to, as dotted text; "" when it does not resolve.
std::string FirstIpv4Address(const std::string& name);

}  // namespace velunor::platform
