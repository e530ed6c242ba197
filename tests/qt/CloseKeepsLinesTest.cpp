#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "WindowHarness.h"
#include "device/Codec.h"
#include "monitoring/SendBuffer.h"

using namespace korvan;

namespace {

// The operator closes the window with alarms still waiting for the
// monitoring software (its port is not there), says Yes to the question, and
// starts the receiver again: the lines go out, in their order.
class CloseKeepsLinesTest : public WindowHarness {};

// An Event of unit 0123, account 1234, code E130, partition 01, zone `zone`.
Bytes Event(int frameId, const std::string& zone) {
    Bytes b = {0x06, 0x00, 0x00, static_cast<std::uint8_t>(frameId),
               0x03, 0x02, 0x01, 0x00,
               0x1A, 0x0C, 0x08, 0x0A,
               0x1E, 0x00};
    for (char c : "1234113001" + zone) b.push_back(static_cast<std::uint8_t>(c));
    return AppendCrc(b);
}

TEST_F(CloseKeepsLinesTest, ADeliberateCloseKeepsTheWaitingLinesForTheNextStart) {
    dir.Write("RAZUDovuve.ini", "33665\r\nCOM3\r\n15\r\n60\r\n240\r\n7\r\n0\r\n");
    serial.failOpen = true;
    Create();
    const std::vector<std::string> lines = {"5077 181234E13001005", "5077 181234E13001006",
                                            "5077 181234E13001007"};
    udp.Deliver("10.0.0.5", 4000, Event(5, "005"));
    udp.Deliver("10.0.0.5", 4000, Event(6, "006"));
    udp.Deliver("10.0.0.5", 4000, Event(7, "007"));
    ASSERT_EQ(3u, udp.sent.size());  // every unit has its ACK
    ASSERT_EQ(lines, Buffer().Lines());

    dialogs.confirmAnswers = {true};
    EXPECT_TRUE(window->close());
    EXPECT_EQ(
        "Q:There are 3 unsent messages in Internal Buffer.\r\nThey are kept and will be sent when "
        "the application starts again.\r\nDo you still want to close the application?",
        dialogs.shown.back());
    window.reset();

    serial.failOpen = false;
    Create();
    std::vector<std::string> written;
    for (int i = 0; i < 10 && Buffer().SendBufferCount() > 0; ++i) {
        serial.Receive({0x06});
        clock.Advance(1000);
    }
    for (const Bytes& w : serial.writes) {
        const std::string text(w.begin(), w.end() - 1);
        if (written.empty() || written.back() != text)
            written.push_back(text);
    }
    EXPECT_EQ(lines, written);
}

}  // namespace
