#include "upnp/interfaces.h"

#include "core/log.h"
#include "core/settings.h"
#include "http/http_limits.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <ifaddrs.h>
#include <mutex>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

std::mutex g_device_lock;
std::string& g_device_address = *new std::string; // never destroyed

struct SocketCloser {
    int fd;
    ~SocketCloser()
    {
        if (fd >= 0) {
            close(fd);
        }
    }
};

std::string dotted(const sockaddr& addr)
{
    const auto& in = reinterpret_cast<const sockaddr_in&>(addr);
    const auto* b = reinterpret_cast<const unsigned char*>(&in.sin_addr);
    char text[20];
    snprintf(text, sizeof text, "%d.%d.%d.%d", b[0], b[1], b[2], b[3]);
    return text;
}

} // namespace

std::optional<std::vector<InterfaceEntry>> get_interface_addresses(int max_entries)
{
    SocketCloser s{socket(AF_INET, SOCK_STREAM, 0)};
    if (s.fd < 0) {
        perror("socket");
        return std::nullopt;
    }
    std::vector<ifreq> requests(static_cast<size_t>(max_entries));
    ifconf conf{};
    conf.ifc_len = static_cast<int>(requests.size() * sizeof(ifreq));
    conf.ifc_req = requests.data();
    const int size = conf.ifc_len;
    if (ioctl(s.fd, SIOCGIFCONF, &conf) != 0) {
        perror("ioctl(GetIfConf)");
        return std::nullopt;
    }
    const int count = conf.ifc_len / static_cast<int>(sizeof(ifreq));
    std::vector<InterfaceEntry> entries;
    for (int i = 0; i < count; ++i) {
        InterfaceEntry entry;
        entry.name.assign(requests[i].ifr_name, strnlen(requests[i].ifr_name, IFNAMSIZ));
        entry.address = dotted(requests[i].ifr_addr);
        ifreq flags_request{};
        memcpy(flags_request.ifr_name, requests[i].ifr_name, IFNAMSIZ);
        if (ioctl(s.fd, SIOCGIFFLAGS, &flags_request) == 0) {
            entry.flags = flags_request.ifr_flags;
        }
        entries.push_back(std::move(entry));
    }
    if (conf.ifc_len >= size) {
        fprintf(stderr, "Warning: Possible overflow in IP Interface detection.\n");
    }
    return entries;
}

std::optional<std::string> interface_hardware_address(const char* name)
{
    if (!name || strlen(name) >= IFNAMSIZ) {
        fprintf(stderr, "Illegal Interface name passed.\n");
        return std::nullopt;
    }
    SocketCloser s{socket(AF_INET, SOCK_STREAM, 0)};
    if (s.fd < 0) {
        perror("socket");
        return std::nullopt;
    }
    ifreq request{};
    memcpy(request.ifr_name, name, strlen(name));
    if (ioctl(s.fd, SIOCGIFHWADDR, &request) != 0) {
        perror("ioctl(GetHwAddr)");
        return std::nullopt;
    }
    const auto* b = reinterpret_cast<const unsigned char*>(request.ifr_hwaddr.sa_data);
    char text[18];
    snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", b[0], b[1], b[2], b[3], b[4],
             b[5]);
    return std::string(text);
}

std::string interface_address_by_name(const std::string& name)
{
    auto entries = get_interface_addresses(kMaxServerAddresses);
    if (!entries) {
        return {};
    }
    for (const InterfaceEntry& entry : *entries) {
        if (entry.name == name) {
            return entry.address;
        }
    }
    return {};
}

void interfaces_set_device_address(const std::string& address)
{
    std::lock_guard guard(g_device_lock);
    g_device_address = address;
}

std::vector<std::string> server_addresses()
{
    std::string ip = setting_str(KEY_IP);
    if (ip.empty()) {
        std::lock_guard guard(g_device_lock);
        ip = g_device_address;
    }
    if (!ip.empty()) {
        // inet_aton, like the classic inet_addr, allows trailing blanks, which
        // a settings file line keeps; the canonical text is what is served.
        in_addr parsed{};
        if (inet_aton(ip.c_str(), &parsed) == 0 || parsed.s_addr == 0) {
            log_msg(LOG_CRITICAL, LOG_CAT_SYSTEM, "invalid IP address: %s\n", ip.c_str());
            return {};
        }
        char text[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &parsed, text, sizeof text);
        return {text};
    }
    auto entries = get_interface_addresses(kMaxServerAddresses);
    if (!entries) {
        log_msg(LOG_CRITICAL, LOG_CAT_SYSTEM,
                "Error in get_interface_addresses() function.\nPlease use -ip param!\n");
        return {};
    }
    std::vector<std::string> addresses;
    for (const InterfaceEntry& entry : *entries) {
        if (entry.address != "127.0.0.1" && (entry.flags & IFF_UP)) {
            addresses.push_back(entry.address);
        }
    }
    return addresses;
}

std::optional<in_addr> interface_netmask(const std::string& address)
{
    in_addr wanted{};
    ifaddrs* list = nullptr;
    if (inet_pton(AF_INET, address.c_str(), &wanted) != 1 || getifaddrs(&list) != 0) {
        return std::nullopt;
    }
    std::optional<in_addr> mask;
    for (const ifaddrs* i = list; i && !mask; i = i->ifa_next) {
        if (!i->ifa_addr || !i->ifa_netmask || i->ifa_addr->sa_family != AF_INET) {
            continue;
        }
        const auto* own = reinterpret_cast<const sockaddr_in*>(i->ifa_addr);
        if (own->sin_addr.s_addr == wanted.s_addr) {
            mask = reinterpret_cast<const sockaddr_in*>(i->ifa_netmask)->sin_addr;
        }
    }
    freeifaddrs(list);
    return mask;
}
