#include "core/net_util.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <string>

namespace
{

// The scope of an address written as text, IPv4 or IPv6.
AddressScope scope_of(const std::string& text)
{
    if (text.find(':') == std::string::npos) {
        in_addr v4{};
        EXPECT_EQ(inet_pton(AF_INET, text.c_str(), &v4), 1) << text;
        return net_scope_ipv4(v4);
    }
    in6_addr v6{};
    EXPECT_EQ(inet_pton(AF_INET6, text.c_str(), &v6), 1) << text;
    return net_scope_ipv6(v6);
}

} // namespace

TEST(NetScope, EveryRangeAndItsEdges)
{
    using S = AddressScope;
    const struct {
        const char* address;
        AddressScope scope;
    } rows[] = {
        {"0.0.0.0", S::Unspecified},
        {"0.255.255.255", S::Unspecified},
        {"1.0.0.0", S::Public},
        {"9.255.255.255", S::Public},
        {"10.0.0.0", S::PrivateNetwork},
        {"10.255.255.255", S::PrivateNetwork},
        {"11.0.0.0", S::Public},
        {"100.64.0.1", S::Public},
        {"126.255.255.255", S::Public},
        {"127.0.0.1", S::Loopback},
        {"127.255.255.254", S::Loopback},
        {"128.0.0.0", S::Public},
        {"169.253.255.255", S::Public},
        {"169.254.0.0", S::LinkLocal},
        {"169.254.255.255", S::LinkLocal},
        {"169.255.0.0", S::Public},
        {"172.15.255.255", S::Public},
        {"172.16.0.0", S::PrivateNetwork},
        {"172.31.255.255", S::PrivateNetwork},
        {"172.32.0.0", S::Public},
        {"192.167.255.255", S::Public},
        {"192.168.0.0", S::PrivateNetwork},
        {"192.168.255.255", S::PrivateNetwork},
        {"192.169.0.0", S::Public},
        {"223.255.255.255", S::Public},
        {"224.0.0.0", S::Multicast},
        {"239.255.255.250", S::Multicast},
        {"240.0.0.0", S::Reserved},
        {"255.255.255.255", S::Reserved},
        {"::", S::Unspecified},
        {"::1", S::Loopback},
        {"2001:db8::1", S::Public},
        {"fbff:ffff::1", S::Public},
        {"fc00::", S::PrivateNetwork},
        {"fdff:ffff::1", S::PrivateNetwork},
        {"fe7f::1", S::Public},
        {"fe80::1", S::LinkLocal},
        {"febf:ffff::1", S::LinkLocal},
        {"fec0::1", S::PrivateNetwork},
        {"ff02::1", S::Multicast},
        {"::ffff:0.0.0.0", S::Unspecified},
        {"::ffff:127.0.0.2", S::Loopback},
        {"::ffff:10.1.2.3", S::PrivateNetwork},
        {"::ffff:172.32.0.1", S::Public},
        {"::ffff:169.254.169.254", S::LinkLocal},
        {"::ffff:224.0.0.251", S::Multicast},
        {"::ffff:8.8.8.8", S::Public},
    };
    for (const auto& row : rows) {
        EXPECT_STREQ(net_scope_name(scope_of(row.address)), net_scope_name(row.scope))
            << row.address;
    }
}
