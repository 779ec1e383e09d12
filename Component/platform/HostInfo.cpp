#include "platform/HostInfo.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace velunor::platform {

std::string LocalHostName() {
    char name[1024] = {};
    if (gethostname(name, sizeof(name) - 1) != 0) return {};
    return name;
}

std::string FirstIpv4Address(const std::string& name) {
    if (name.empty()) return {};
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(name.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) return {};
    std::string dotted;
    for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
        if (a->ai_family != AF_INET) continue;
        char text[INET_ADDRSTRLEN] = {};
        auto* in = reinterpret_cast<sockaddr_in*>(a->ai_addr);
        if (inet_ntop(AF_INET, &in->sin_addr, text, sizeof(text)) != nullptr) {
            dotted = text;
            break;
        }
    }
    freeaddrinfo(found);
    return dotted;
}

}  // namespace velunor::platform
