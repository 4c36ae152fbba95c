#include "support/temp_dir.h"
#include "webconfig/resource_pack.h"

#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace
{

void write_file(const std::string& path, const std::string& content)
{
    std::ofstream(path, std::ios::binary) << content;
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class ResourcePack : public ::testing::Test
{
protected:
    void SetUp() override
    {
        program = dir.path + "/program";
        resources = dir.path + "/res";
        start = dir.path + "/start";
        mkdir(resources.c_str(), 0755);
        mkdir(start.c_str(), 0755);
        write_file(program, std::string("\x7f"
                                        "ELF program bytes",
                                        18));
        write_file(resources + "/logo1.gif", "GIF89a-logo");
        write_file(resources + "/index.htm", "<frameset>");
        write_file(resources + "/empty.css", "");
        resource_init(program, start);
    }
    void TearDown() override
    {
        resource_init("", "");
    }
    TempDir dir;
    std::string program;
    std::string resources;
    std::string start;
};

TEST_F(ResourcePack, PackedFilesAreReadBackAndThePackIsWrittenOnce)
{
    ASSERT_EQ(resource_pack_write(program.c_str(), resources.c_str()), 0);
    const std::string packed = read_file(program);
    ASSERT_EQ(packed.substr(packed.size() - 2), "QX");
    // The program itself is untouched in front of the pack.
    EXPECT_EQ(packed.substr(0, 18), std::string("\x7f"
                                                "ELF program bytes",
                                                18));
    // count × 264 + 6 bytes of index and tail.
    EXPECT_EQ(packed.size(), 18 + 11 + 10 + 0 + 3 * kPackEntrySize + 6);

    EXPECT_EQ(resource_read("logo1.gif"), "GIF89a-logo");
    EXPECT_EQ(resource_read("index.htm"), "<frameset>");
    EXPECT_EQ(resource_read("empty.css"), "");
    // Letter case counts.
    EXPECT_EQ(resource_read("Logo1.gif"), std::nullopt);
    EXPECT_EQ(resource_read("missing.gif"), std::nullopt);

    // A second run finds the pack and leaves the file alone.
    ASSERT_EQ(resource_pack_write(program.c_str(), resources.c_str()), 0);
    EXPECT_EQ(read_file(program), packed);
}

TEST_F(ResourcePack, StartDirectoryFileWinsOverThePack)
{
    ASSERT_EQ(resource_pack_write(program.c_str(), resources.c_str()), 0);
    write_file(start + "/logo1.gif", "GIF89a-mine");
    EXPECT_EQ(resource_read("logo1.gif"), "GIF89a-mine");
}

TEST_F(ResourcePack, NamesOutsideTheWebFilesAreRefused)
{
    write_file(start + "/corvalenso-plenwick.ini", "secret");
    write_file(dir.path + "/outside.htm", "outside");
    for (const char* name : {"corvalenso-plenwick.ini", "../outside.htm", "..", "/etc/passwd",
                             "sub/logo1.gif", ".hidden.htm", "a\\b.htm", "x\r\n.htm", ""}) {
        EXPECT_EQ(resource_read(name), std::nullopt) << name;
        EXPECT_FALSE(resource_name_allowed(name)) << name;
    }
    EXPECT_TRUE(resource_name_allowed("status.htm"));
}

TEST_F(ResourcePack, ProgramWithoutPackOrWithADamagedOneFindsNothing)
{
    EXPECT_EQ(resource_read("logo1.gif"), std::nullopt);
    // A pack that holds nothing.
    write_file(program, std::string("prog") + std::string("\0\0\0\0QX", 6));
    EXPECT_EQ(resource_read("logo1.gif"), std::nullopt);
    // A count far beyond the file, and an entry whose block lies past the
    // index: both read nothing rather than garbage.
    write_file(program, std::string("prog") + std::string("\xff\xff\xff\xffQX", 6));
    EXPECT_EQ(resource_read("logo1.gif"), std::nullopt);
    std::string entry(kPackEntrySize, '\0');
    entry[3] = 100; // size 100
    entry.replace(8, 9, "logo1.gif");
    write_file(program, "prog" + entry + std::string("\0\0\0\1QX", 6));
    EXPECT_EQ(resource_read("logo1.gif"), std::nullopt);
}

} // namespace
