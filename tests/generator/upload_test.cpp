// SPDX-License-Identifier: GPL-3.0-or-later
// The bytes of an upload and of a query, captured at the bus by the recorder,
// with the program's functions called directly (no panel needed).
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "generator_harness.h"
#include "generator_ui.h"

namespace {

TEST(GeneratorUpload, SixTransfersWithTheBlockOfEachAngle) {
    for (float angle : {0.0f, 90.0f, 45.05f, 180.0f, -30.0f}) {
        SCOPED_TRACE("angle " + std::to_string(angle));
        bus().reset();
        Alpha = angle;
        SendSin(Freq, Alpha, Um);
        expectUpload(bus().sendsFrom(0), "freq 10000.000000", "volt 4.500000", angle);
    }
}

TEST(GeneratorUpload, BlockStartsWithHeaderAndCarriesSamplesLowByteFirst) {
    bus().reset();
    Alpha = 0.0f;
    SendSin(Freq, Alpha, Um);
    std::vector<BusCall> sends = bus().sendsFrom(0);
    ASSERT_EQ(sends.size(), 7u) << "six transfers and the error query";
    const std::string &block = sends[3].bytes;
    ASSERT_EQ(block.size(), 7224u);
    EXPECT_EQ(block.substr(0, 24), "data:dac volatile,#47200");
    EXPECT_EQ(block.substr(24, 6), std::string("\x00\x00\x03\x00\x07\x00", 6));
    EXPECT_EQ(block.substr(3626, 2), "\xFE\xFF") << "entry 1801, code -2";
    EXPECT_EQ(block.substr(7222, 2), "\xFB\xFF") << "entry 3599, code -5";
    EXPECT_EQ(delka, 24);
}

TEST(GeneratorUpload, SettingsAreSentWithSixDecimals) {
    struct {
        float frequency, amplitude;
        const char *freqText, *voltText;
    } cases[] = {
        {1000000.0f, 0.1f, "freq 1000000.000000", "volt 0.100000"},
        {0.0f, 0.05f, "freq 0.000000", "volt 0.050000"},
        {998.0f, 10.0f, "freq 998.000000", "volt 10.000000"},
        {1.0f, 2.345f, "freq 1.000000", "volt 2.345000"},
    };
    for (const auto &c : cases) {
        bus().reset();
        SendSin(c.frequency, Alpha, c.amplitude);
        std::vector<BusCall> sends = bus().sendsFrom(0);
        ASSERT_EQ(sends.size(), 7u) << "six transfers and the error query";
        EXPECT_EQ(sends[0].bytes, c.freqText);
        EXPECT_EQ(sends[1].bytes, c.voltText);
    }
}

// A reply is kept in `data` up to 255 bytes and ended with NUL; ibcnt still holds
// the count received after the status hook has run.
TEST(GeneratorQuery, ReplyIsStoredUpTo255BytesAndEnded) {
    struct {
        const char *name;
        std::string reply;
        long kept;
    } cases[] = {
        {"line", "GEN,1,2,3\n", 10},
        {"nothing", "", 0},
        {"exactly 255 bytes", std::string(254, 'a') + "\n", 255},
        {"longer than 255", std::string(300, 'b'), 255},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        bus().reset();
        bus().reply(c.reply.data(), (long)c.reply.size());
        std::memset(data, 'x', sizeof data);
        Query(8, "*idn?");
        EXPECT_EQ(ibcnt, c.kept);
        EXPECT_EQ(std::string(data, c.kept), c.reply.substr(0, c.kept));
        EXPECT_EQ(data[c.kept], '\0');
        ASSERT_EQ(bus().size(), 2u);
        EXPECT_EQ(bus().at(0).routine, "Send");
        EXPECT_EQ(bus().at(0).bytes, "*idn?");
        EXPECT_EQ(bus().at(1).routine, "Receive");
        EXPECT_EQ(bus().at(1).address, 8);
        EXPECT_EQ(bus().at(1).count, 255);
        EXPECT_EQ(bus().at(1).mode, 0x100) << "stop at EOI";
    }
}

}  // namespace
