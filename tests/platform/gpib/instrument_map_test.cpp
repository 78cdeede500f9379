// SPDX-License-Identifier: GPL-3.0-or-later
// Keeping an instrument in instruments.conf (what the Instrument dialog's Use
// does): the address's line is replaced or added and every other line stays
// as the operator wrote it; a file that is no small regular file is left
// alone; what is written reads back as the mapping.
#include "instrument_map.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "sim_test_support.h"

namespace {

using simtest::ScopedEnv;

struct KeptInstrument : ::testing::Test {
    simtest::TempDir dir;
    std::string config = dir.file("config");
    std::string conf = config + "/labbench/instruments.conf";
    ScopedEnv xdg{"XDG_CONFIG_HOME", config};
    ScopedEnv noEnvironment{"LABBENCH_INSTRUMENT_8", nullptr};
};

TEST_F(KeptInstrument, ANewFileAndFolderAreMadeAndReadBack) {
    std::string why;
    ASSERT_TRUE(scpilink::store_instrument(8, "TCPIP::127.0.0.1::5025::SOCKET", why)) << why;
    EXPECT_EQ(simtest::file_text(conf),
              "# address = resource: the instrument at each GPIB address\n"
              "8 = TCPIP::127.0.0.1::5025::SOCKET\n");
    scpilink::Mapping mapping = scpilink::find_instrument(8);
    EXPECT_EQ(mapping.outcome, scpilink::Mapping::Outcome::Found) << mapping.why;
    EXPECT_EQ(mapping.resource.port, "5025");
}

TEST_F(KeptInstrument, OnlyTheAddressesLineChangesAndItsRepeatsGo) {
    std::filesystem::create_directories(config + "/labbench");
    std::ofstream(conf) << "# bench\n"
                           "9 = USBTMC::/dev/usbtmc1   # the other one\n"
                           " 8 = TCPIP::old::5025::SOCKET # the generator\n"
                           "not a mapping line\n"
                           "8 = TCPIP::older::5025::SOCKET\n"
                           "10 = TCPIP::ten::5025::SOCKET";  // no newline at the end
    std::string why;
    ASSERT_TRUE(scpilink::store_instrument(8, "GPIB0::5::INSTR", why)) << why;
    EXPECT_EQ(simtest::file_text(conf),
              "# bench\n"
              "9 = USBTMC::/dev/usbtmc1   # the other one\n"
              "8 = GPIB0::5::INSTR\n"
              "not a mapping line\n"
              "10 = TCPIP::ten::5025::SOCKET\n");
    int bus = -1;
    EXPECT_TRUE(scpilink::parse_gpib_resource(scpilink::find_instrument(8).text, bus));
    EXPECT_EQ(bus, 5);
}

TEST_F(KeptInstrument, AFileThatIsNoRegularFileIsLeftAlone) {
    std::filesystem::create_directories(config + "/labbench");
    ASSERT_EQ(mkfifo(conf.c_str(), 0600), 0);
    std::string why;
    EXPECT_FALSE(scpilink::store_instrument(8, "TCPIP::127.0.0.1::5025::SOCKET", why));
    EXPECT_NE(why.find(conf + " cannot be used (not a regular file)"), std::string::npos) << why;
    struct stat info;
    ASSERT_EQ(lstat(conf.c_str(), &info), 0);
    EXPECT_TRUE(S_ISFIFO(info.st_mode));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(config + "/labbench"),
                            std::filesystem::directory_iterator()),
              1)
        << "a file was left beside it";
}

TEST(GpibResource, IsReadOnlyInItsOwnForm) {
    const struct {
        const char *text;
        int address;  // -1: not a GPIB resource
    } cases[] = {
        {"GPIB0::5::INSTR", 5},   {" gpib::30::instr ", 30}, {"GPIB0::0::INSTR", 0},
        {"GPIB0::31::INSTR", -1}, {"GPIB1::5::INSTR", -1},   {"GPIB0::5", -1},
        {"GPIB0::5x::INSTR", -1}, {"GPIB0::-1::INSTR", -1},  {"TCPIP::h::5::SOCKET", -1},
    };
    for (const auto &c : cases) {
        int address = -1;
        const bool read = scpilink::parse_gpib_resource(c.text, address);
        EXPECT_EQ(read, c.address >= 0) << c.text;
        if (read) {
            EXPECT_EQ(address, c.address) << c.text;
        }
    }
}

}  // namespace
