#include "core/settings.h"
#include "upnp/interfaces.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>

namespace
{

class Interfaces : public ::testing::Test
{
protected:
    void TearDown() override
    {
        setting_set(KEY_IP, "");
        interfaces_set_device_address("");
    }
};

TEST_F(Interfaces, LoopbackIsListedUpWithAZeroHardwareAddress)
{
    auto entries = get_interface_addresses(10);
    ASSERT_TRUE(entries);
    bool found = false;
    for (const InterfaceEntry& e : *entries) {
        if (e.name == "lo") {
            found = true;
            EXPECT_EQ(e.address, "127.0.0.1");
            EXPECT_TRUE(e.flags & IFF_UP);
        }
    }
    EXPECT_TRUE(found);
    EXPECT_EQ(interface_hardware_address("lo"), "00:00:00:00:00:00");
    EXPECT_EQ(interface_address_by_name("lo"), "127.0.0.1");
    EXPECT_EQ(interface_address_by_name("nosuchdev0"), "");
    EXPECT_EQ(interface_hardware_address("a-name-of-16-chr"), std::nullopt);
    EXPECT_EQ(interface_hardware_address(nullptr), std::nullopt);
}

TEST_F(Interfaces, ServerAddressesSkipLoopbackUnlessNamed)
{
    for (const std::string& a : server_addresses()) {
        EXPECT_NE(a, "127.0.0.1");
    }
    setting_set(KEY_IP, "127.0.0.1 ");
    EXPECT_EQ(server_addresses(), std::vector<std::string>{"127.0.0.1"})
        << "a trailing blank from the file";
    setting_set(KEY_IP, "");
    interfaces_set_device_address("127.0.0.1");
    EXPECT_EQ(server_addresses(), std::vector<std::string>{"127.0.0.1"})
        << "the address of \"dev\" stands in";
}

TEST_F(Interfaces, NetmaskOfAnAddressTheHostHas)
{
    auto mask = interface_netmask("127.0.0.1");
    ASSERT_TRUE(mask);
    EXPECT_EQ(ntohl(mask->s_addr), 0xff000000u);
    EXPECT_FALSE(interface_netmask("203.0.113.9")) << "no interface has it";
    EXPECT_FALSE(interface_netmask("not an address"));
}

} // namespace
