#include <gtest/gtest.h>

#include "fakes/FakeLineOutput.h"
#include "fakes/FakeScheduler.h"
#include "fakes/TestLogChannels.h"
#include "monitoring/SendBuffer.h"

using namespace korvan;

namespace {

Bytes Wire(const std::string& line) {
    Bytes b = ToBytes(line);
    b.push_back(0x14);
    return b;
}

const std::string kL1 = "5077 181234E13001001";
const std::string kL2 = "5077 181234E13001002";
const std::string kL3 = "5077 181234E13001003";

// TCP first, the serial line second: the first open one carries every line;
// a line in flight on an output that closes goes out on the other by the
// usual rules, and only the output a line went out on can answer it.
TEST(OutputSelectionTest, FirstOpenOutputCarriesTheLinesAndTheOtherTakesOver) {
    FakeScheduler s;
    TestLogChannels logs(s, s);
    FakeLineOutput tcp(s), serial(s);
    SendBuffer buffer({&tcp, &serial}, s, s, logs.Channels());
    EXPECT_EQ(&tcp, buffer.OutputInUse());

    buffer.AddToSendBuffer(kL1);
    tcp.Answer({0x06});
    buffer.AddToSendBuffer(kL2);
    tcp.Drain();
    tcp.Close();
    EXPECT_EQ(&serial, buffer.OutputInUse());
    serial.Ready();  // the 3 s since the last write have not passed
    EXPECT_TRUE(serial.writes.empty());
    s.Advance(5000);
    ASSERT_EQ(std::vector<Bytes>{Wire(kL2)}, serial.writes);

    // TCP is back while L2 waits for the serial line's answer: the answer
    // from the serial line still counts, and L3 goes over TCP.
    tcp.open = true;
    tcp.Ready();
    buffer.QueueLine(kL3);
    serial.Answer({0x06});
    EXPECT_EQ((std::vector<Bytes>{Wire(kL1), Wire(kL2), Wire(kL3)}), tcp.writes);
    EXPECT_EQ(1u, serial.writes.size());
    serial.Answer({0x06});  // not the output L3 went out on
    EXPECT_EQ(1, buffer.SendBufferCount());
    EXPECT_EQ(2u, buffer.Delivered());

    tcp.Close();
    serial.Close();
    EXPECT_EQ(nullptr, buffer.OutputInUse());
}

}  // namespace
