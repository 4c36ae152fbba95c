#include "control/clients.h"
#include "core/log.h"
#include "core/settings.h"
#include "support/temp_dir.h"

#include <atomic>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

namespace
{

class Clients : public ::testing::Test
{
protected:
    void SetUp() override
    {
        client_table_clear();
        client_set_probes({});
    }
    void TearDown() override
    {
        client_table_clear();
        client_set_probes({});
        setting_set(KEY_DLINKCLIENT, "");
        setting_set(KEY_NOXONCLIENT, "");
        setting_set(KEY_MUSICCLIENT, "");
        setting_set(KEY_V, "0");
    }
};

TEST_F(Clients, RegistrationChangesAndProbedTypes)
{
    TempDir dir;
    setting_set(KEY_V, "16");
    log_open_file(dir.file("log.txt").c_str());
    client_register(0, "10.0.0.2");
    client_register(8, "10.0.0.2");
    client_register(10, "10.0.0.2");
    client_register(10, "10.0.0.3");
    log_close();
    EXPECT_EQ(client_type_of("10.0.0.2"), 8);
    EXPECT_EQ(client_type_of("10.0.0.3"), 0) << "an unconfirmed Noxon guess is generic";
    EXPECT_EQ(client_type_of("10.0.0.99"), 0);
    const std::string log = read_text_file(dir.file("log.txt"));
    EXPECT_NE(log.find("CLIENT-DB:added: 10.0.0.2 Generic Media Receiver\n"), std::string::npos);
    EXPECT_NE(log.find("CLIENT-DB:changed: 10.0.0.2 Philips Streamium\n"), std::string::npos);
    auto entry = client_entry(1);
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->address, "10.0.0.3");
    EXPECT_FALSE(client_entry(2));
}

TEST_F(Clients, ConfiguredAddressesNeedNoProbe)
{
    setting_set(KEY_DLINKCLIENT, "10.0.0.5");
    setting_set(KEY_NOXONCLIENT, "10.0.0.6,10.0.0.7");
    setting_set(KEY_MUSICCLIENT, "10.0.0.8");
    client_register_configured();
    EXPECT_TRUE(client_is_dlink("10.0.0.5"));
    EXPECT_EQ(client_type_of("10.0.0.7"), 10);
    EXPECT_TRUE(client_is_music_client("10.0.0.6"));
    EXPECT_TRUE(client_is_music_client("10.0.0.8"));
    EXPECT_FALSE(client_is_music_client("10.0.0.5"));
    client_register(9, "10.0.0.9");
    EXPECT_TRUE(client_is_music_client("10.0.0.9"));
    EXPECT_STREQ(client_type_name(9), "Roku Soundbridge");
}

TEST_F(Clients, ProbesRunOutsideTheLockAndCanConfirm)
{
    ClientProbes probes;
    probes.dlink = [](const char* address) {
        // Looking the table up here would deadlock if the lock were held.
        return client_type_of(address) == 0;
    };
    client_set_probes(probes);
    client_register(2, "10.0.0.4");
    EXPECT_EQ(client_type_of("10.0.0.4"), 2);
}

TEST_F(Clients, OnlyNineAddressesAreRecorded)
{
    for (int i = 1; i <= 10; ++i) {
        client_register(5, ("10.0.1." + std::to_string(i)).c_str());
    }
    EXPECT_EQ(client_type_of("10.0.1.9"), 5);
    EXPECT_EQ(client_type_of("10.0.1.10"), 0);
    EXPECT_FALSE(client_entry(9));
}

TEST_F(Clients, ConcurrentRegistrationKeepsEachAddressOnce)
{
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([] {
            for (int i = 0; i < 2000; ++i) {
                client_register(i % 3 == 0 ? 8 : 5, ("10.0.2." + std::to_string(i % 6)).c_str());
                client_type_of("10.0.2.1");
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    int entries = 0;
    while (client_entry(entries)) {
        ++entries;
    }
    EXPECT_EQ(entries, 6);
}

} // namespace
