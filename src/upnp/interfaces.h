// The host's IPv4 interfaces: the server binds one listener and one set of
// SSDP sockets per address found here.
#pragma once

#include <netinet/in.h>
#include <optional>
#include <string>
#include <vector>

struct InterfaceEntry {
    std::string name;
    std::string address; // dotted IPv4
    int flags = 0;       // IFF_UP and friends
};

// Lists at most max_entries interfaces in the order the system gives them;
// nothing on an enumeration failure (the system error is printed). Prints an
// overflow warning when more interfaces may exist than were returned.
std::optional<std::vector<InterfaceEntry>> get_interface_addresses(int max_entries);

// "xx:xx:xx:xx:xx:xx" (lower-case hex) of the named interface, or nothing.
std::optional<std::string> interface_hardware_address(const char* name);

// The dotted address of the named interface among the first five, or an
// empty text when there is no such interface or enumeration fails.
std::string interface_address_by_name(const std::string& name);

// The addresses the server serves on: the setting "ip" alone when set (a
// value that is no dotted IPv4 address, or 0.0.0.0, is critical), else every
// interface that is up, loopback excluded. An enumeration failure is critical.
std::vector<std::string> server_addresses();

// The address found for the setting "dev" at start-up; used in place of the
// enumeration when "ip" is not set.
void interfaces_set_device_address(const std::string& address);

// The network mask of the interface that has the dotted IPv4 address, or
// nothing when no interface has it.
std::optional<in_addr> interface_netmask(const std::string& address);
