// Name and address lookup, the same getaddrinfo on every system; only its header differs.
#include "platform/platform.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <cstring>

bool platformResolve(const std::string& host, const std::string& port, std::vector<PlatformAddress>& out) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0) return false;
    bool any = false;
    for (const addrinfo* entry = found; entry; entry = entry->ai_next) {
        PlatformAddress address;
        if (entry->ai_addrlen > sizeof address.bytes) continue;
        std::memcpy(address.bytes, entry->ai_addr, entry->ai_addrlen);
        address.length = int(entry->ai_addrlen);
        out.push_back(address);
        any = true;
    }
    freeaddrinfo(found);
    return any;
}
