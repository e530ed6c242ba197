#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

#include "device/Codec.h"
#include "device/DeviceTestSupport.h"

using namespace korvan;
using namespace devtest;

namespace {

// The bit-by-bit form of the checksum, to prove the table against.
std::uint8_t BitwiseCrc(const Bytes& data) {
    std::uint8_t crc = 0;
    for (std::uint8_t b : data) {
        for (int i = 0; i < 8; ++i) {
            const bool mix = ((crc ^ b) & 1) != 0;
            crc = static_cast<std::uint8_t>(crc >> 1);
            if (mix)
                crc ^= 0x8C;
            b = static_cast<std::uint8_t>(b >> 1);
        }
    }
    return crc;
}

const char kEventOf0123[] =
    "06 00 00 05 03 02 01 00 1A 0C 08 0A 1E 00 31 32 33 34 31 31 33 30 30 31 30 30 35 21";

TEST(Codec, Crc8CheckValueAndEdges) {
    EXPECT_EQ(0xA1, Crc8(ToBytes("123456789")));
    EXPECT_EQ(0x00, Crc8(Bytes{}));
    EXPECT_FALSE(IsCrcValid(Bytes{}));
    EXPECT_FALSE(IsCrcValid(Bytes{0x00}));  // Crc8 of nothing is 0, yet one byte is no frame
    EXPECT_TRUE(IsCrcValid(Bytes{0x00, 0x00}));
    EXPECT_EQ(Hex("31 32 33 34 35 36 37 38 39 A1"), AppendCrc(ToBytes("123456789")));
}

TEST(Codec, Crc8TableMatchesBitwiseForm) {
    Bytes data;
    for (int i = 0; i < 256; ++i) {
        const Bytes one{static_cast<std::uint8_t>(i)};
        ASSERT_EQ(BitwiseCrc(one), Crc8(one)) << i;
        data.push_back(static_cast<std::uint8_t>(i * 37 + 11));
        ASSERT_EQ(BitwiseCrc(data), Crc8(data)) << i;
    }
}

TEST(Codec, WorkedExampleEventAndItsAck) {
    const Bytes event = Hex(kEventOf0123);
    ASSERT_EQ(28u, event.size());
    EXPECT_EQ(event, WithCrc("06 00 00 05 03 02 01 00 1A 0C 08 0A 1E 00 31 32 33 34 31 31 33 30 "
                             "30 31 30 30 35"));

    const CheckedFrame f = CheckFrame(event);
    ASSERT_TRUE(f.Accepted());
    EXPECT_EQ(frame::kEvent, f.frameType);
    EXPECT_EQ(0x00, f.encrMarker);
    EXPECT_EQ(5, f.frameId);
    EXPECT_EQ(123, f.unitNr);
    EXPECT_EQ("0123", f.unitText);

    const EventFields ev = DecodeEvent(event);
    ASSERT_TRUE(ev.timeValid);
    EXPECT_DOUBLE_EQ(At(2026, 12, 8, 10, 30, 0), ev.time);
    EXPECT_EQ("1234", ev.account);
    EXPECT_EQ("1130", ev.event);
    EXPECT_EQ("01", ev.partition);
    EXPECT_EQ("005", ev.zone);

    EXPECT_EQ("01 00 00 05 03 02 01 00 1A 0C 08 0A 1E 02 90",
              Spaced(BuildAck(event, At(2026, 12, 8, 10, 30, 2))));
}

TEST(Codec, WorkedExamplePingAndGetPing) {
    const Bytes ping = Hex("23 00 00 06 03 02 01 00 F2");
    EXPECT_EQ(ping, WithCrc("23 00 00 06 03 02 01 00"));
    const CheckedFrame f = CheckFrame(ping);
    ASSERT_TRUE(f.Accepted());
    EXPECT_EQ(frame::kPing, f.frameType);
    EXPECT_EQ(6, f.frameId);
    EXPECT_EQ(123, f.unitNr);
    EXPECT_EQ("0123", f.unitText);

    EXPECT_EQ("24 00 00 00 03 02 01 00 BE",
              Spaced(AppendCrc(CommandFrame(frame::kGetPing, 123, 8))));
}

TEST(Codec, FrameIdIsBigEndian) {
    const CheckedFrame f = CheckFrame(WithCrc("23 7F AB CD 00 00 00 00"));
    ASSERT_TRUE(f.Accepted());
    EXPECT_EQ(0xABCD, f.frameId);
    EXPECT_EQ(0x7F, f.encrMarker);
    EXPECT_EQ(0, f.unitNr);
    EXPECT_EQ("0000", f.unitText);
}

struct CheckCase {
    const char* what;
    Bytes datagram;
    RejectKind kind;
    std::string message;  // with the sender 192.0.2.5
};

TEST(Codec, ChecksInTheirOrderWithTheirMessages) {
    const std::string a = "192.0.2.5";
    const Bytes ping10 = WithCrc("23 00 00 06 03 02 01 00 00");
    const Bytes badCrc9 = Hex("99 00 00 01 03 02 01 00 00");
    const Bytes eight = Hex("23 00 00 06 03 02 01 00");
    const Bytes cmd24 = WithCrc("24 00 00 00 03 02 01 00");
    const Bytes typeAndUnit = WithCrc("77 00 00 01 0A 00 00 00");
    const Bytes unitAndMarker = WithCrc("23 FF 00 01 00 00 0B 00");
    const Bytes markerAndSize = WithCrc("23 FE 00 01 00 00 00 00 00");
    const Bytes shortEvent = WithCrc(
        "06 00 00 05 03 02 01 00 1A 0C 08 0A 1E 00 31 32 33 34 31 31 "
        "33 30 30 31 30 30");
    const CheckCase cases[] = {
        {"empty", {}, RejectKind::TooShort, "Receive TOO SHORT STRING from 192.0.2.5 (0 b.): 0x"},
        {"8 bytes, CRC not looked at", eight, RejectKind::TooShort,
         "Receive TOO SHORT STRING from 192.0.2.5 (8 b.): 0x2300000603020100"},
        {"bad CRC before unknown type", badCrc9, RejectKind::BadCrc,
         "Receive msg, containing INVALID CRC. Msg from 192.0.2.5 (9 b.): 0x990000010302010000"},
        {"command code from a unit", cmd24, RejectKind::BadFrameType,
         "Receive msg, containing INVALID FrameType (0x24). Msg from 192.0.2.5 (9 b.): "
         "0x2400000003020100BE"},
        {"unknown type and bad unit", typeAndUnit, RejectKind::BadFrameType,
         "Receive msg, containing INVALID FrameType (0x77). Msg from 192.0.2.5 (9 b.): 0x" +
             HexText(typeAndUnit)},
        {"bad unit and marker FF", unitAndMarker, RejectKind::BadUnitID,
         "Receive msg, containing INVALID UnitID. Msg from 192.0.2.5 (9 b.): 0x" +
             HexText(unitAndMarker)},
        {"marker FE and bad size", markerAndSize, RejectKind::BadEncrMarker,
         "Receive msg, containing INVALID EncrMarker. Msg from 192.0.2.5 (10 b.): 0x" +
             HexText(markerAndSize)},
        {"10-byte ping", ping10, RejectKind::BadSize,
         "Receive INVALID Size STRING from 192.0.2.5 (10 b.): 0x" + HexText(ping10)},
        {"27-byte event", shortEvent, RejectKind::BadSize,
         "Receive INVALID Size STRING from 192.0.2.5 (27 b.): 0x" + HexText(shortEvent)},
        {"worked event", Hex(kEventOf0123), RejectKind::None, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.kind, CheckFrame(c.datagram).reject);
        EXPECT_EQ(c.message, RejectMessage(c.kind, c.datagram, a));
    }
}

TEST(Codec, EveryShortLengthIsTooShort) {
    for (std::size_t n = 0; n <= 8; ++n) {
        const Bytes d(n, 0x23);
        EXPECT_EQ(RejectKind::TooShort, CheckFrame(d).reject) << n;
    }
    EXPECT_NE(RejectKind::TooShort, CheckFrame(Bytes(9, 0x23)).reject);
}

TEST(Codec, AcceptsExactlyTheSixUnitTypesAtTheirSizes) {
    for (int t = 0; t < 256; ++t) {
        const auto type = static_cast<std::uint8_t>(t);
        const int expected = t == 0x06   ? 28
                             : t == 0x0A ? 9
                             : t == 0x20 ? 24
                             : t == 0x22 ? 27
                             : t == 0x23 ? 9
                             : t == 0x25 ? 10
                                         : 0;
        ASSERT_EQ(expected, FrameSize(type)) << t;
        Bytes body(static_cast<std::size_t>(expected ? expected - 1 : 8), 0);
        body[0] = type;
        const CheckedFrame f = CheckFrame(AppendCrc(body));
        EXPECT_EQ(expected ? RejectKind::None : RejectKind::BadFrameType, f.reject) << t;
    }
}

TEST(Codec, UnitDigitsAndEncrMarkers) {
    struct Case {
        const char* header;  // a Ping without its CRC
        RejectKind kind;
        int unitNr;
    };
    const Case cases[] = {
        {"23 00 00 01 09 09 09 09", RejectKind::None, 9999},
        {"23 00 00 01 00 00 00 00", RejectKind::None, 0},
        {"23 00 00 01 0A 00 00 00", RejectKind::BadUnitID, frame::kBadUnitNr},
        {"23 00 00 01 00 0A 00 00", RejectKind::BadUnitID, frame::kBadUnitNr},
        {"23 00 00 01 00 00 0A 00", RejectKind::BadUnitID, frame::kBadUnitNr},
        {"23 00 00 01 00 00 00 0A", RejectKind::BadUnitID, frame::kBadUnitNr},
        {"23 00 00 01 00 00 00 FF", RejectKind::BadUnitID, frame::kBadUnitNr},
        {"23 FD 00 01 03 02 01 00", RejectKind::None, 123},
        {"23 FE 00 01 03 02 01 00", RejectKind::BadEncrMarker, 123},
        {"23 FF 00 01 03 02 01 00", RejectKind::BadEncrMarker, 123},
    };
    for (const auto& c : cases) {
        const CheckedFrame f = CheckFrame(WithCrc(c.header));
        EXPECT_EQ(c.kind, f.reject) << c.header;
        EXPECT_EQ(c.unitNr, f.unitNr) << c.header;
    }
}

TEST(Codec, UnitIdText) {
    struct Case {
        const char* header;
        std::string text;
        int number;
    };
    const Case cases[] = {
        {"23 00 00 00 03 02 01 00", "0123", 123},
        {"23 00 00 00 09 09 09 09", "9999", 9999},
        {"23 00 00 00 0A 00 00 00", "000:", frame::kBadUnitNr},
        {"23 00 00 00 00 00 00 31", "a000", frame::kBadUnitNr},
    };
    for (const auto& c : cases) {
        const UnitIdInfo id = UnitIdText(Hex(c.header));
        EXPECT_EQ(c.text, id.text) << c.header;
        EXPECT_EQ(c.number, id.number) << c.header;
    }
}

TEST(Codec, NackOfShortDatagramsCarriesZeros) {
    const TDateTime now = At(2026, 12, 8, 10, 30, 2);
    const Bytes source = Hex("23 11 22 33 44 55 66 77");
    for (std::size_t n = 0; n <= 8; ++n) {
        const Bytes d(source.begin(), source.begin() + static_cast<std::ptrdiff_t>(n));
        const Bytes expected = n == 8 ? WithCrc("02 11 22 33 44 55 66 77 1A 0C 08 0A 1E 02")
                                      : WithCrc("02 00 00 00 00 00 00 00 1A 0C 08 0A 1E 02");
        EXPECT_EQ(Spaced(expected), Spaced(BuildNack(d, now))) << n;
    }
    // A longer refused datagram: its first 8 bytes, nothing more.
    const Bytes badCrc = Hex("99 FE 01 02 0A 0B 0C 0D 00 00");
    EXPECT_EQ(Spaced(WithCrc("02 FE 01 02 0A 0B 0C 0D 1A 0C 08 0A 1E 02")),
              Spaced(BuildNack(badCrc, now)));
}

TEST(Codec, AckEchoesTheHeaderOfAnyAcceptedType) {
    const TDateTime now = At(2031, 1, 2, 3, 4, 5);
    const Bytes gsm = WithCrc("25 FD 12 34 07 08 09 01 1F");
    EXPECT_EQ(Spaced(WithCrc("01 FD 12 34 07 08 09 01 1F 01 02 03 04 05")),
              Spaced(BuildAck(gsm, now)));
}

TEST(Codec, UnitNrToDigitsClamps) {
    struct Case {
        int nr;
        const char* digits;
    };
    const Case cases[] = {
        {0, "00 00 00 00"},     {1, "01 00 00 00"},    {42, "02 04 00 00"},
        {123, "03 02 01 00"},   {9999, "09 09 09 09"}, {10000, "09 09 09 09"},
        {12345, "09 09 09 09"}, {-5, "00 00 00 00"},   {-1, "00 00 00 00"},
    };
    for (const auto& c : cases) {
        const auto d = UnitNrToDigits(c.nr);
        EXPECT_EQ(c.digits, Spaced(Bytes(d.begin(), d.end()))) << c.nr;
    }
}

TEST(Codec, IsFourDigitCode) {
    struct Case {
        std::string text;
        bool ok;
    };
    const Case cases[] = {
        {"0000", true},   {"1234", true},  {"9999", true},  {"123", false},
        {"12345", false}, {"12a4", false}, {"", false},     {"-123", false},
        {"12 4", false},  {" 123", false}, {"abcd", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.ok, IsFourDigitCode(c.text)) << "'" << c.text << "'";
    }
}

TEST(Codec, PutTimeStamp) {
    struct Case {
        TDateTime now;
        const char* stamp;
    };
    const Case cases[] = {
        {At(2026, 12, 8, 10, 30, 2), "1A 0C 08 0A 1E 02"},
        {At(2026, 12, 8, 10, 30, 2, 999), "1A 0C 08 0A 1E 02"},  // no milliseconds, no rounding
        {At(2000, 1, 1, 0, 0, 0), "00 01 01 00 00 00"},
        {At(2255, 12, 31, 23, 59, 59), "FF 0C 1F 17 3B 3B"},
        {At(2256, 1, 1, 0, 0, 0), "00 01 01 00 00 00"},  // low 8 bits of the year offset
    };
    for (const auto& c : cases) {
        const auto s = PutTimeStamp(c.now);
        EXPECT_EQ(c.stamp, Spaced(Bytes(s.begin(), s.end())));
    }
}

TEST(Codec, HexText) {
    EXPECT_EQ("060A", HexText(Hex("06 0A")));
    EXPECT_EQ("", HexText(Bytes{}));
    EXPECT_EQ("00FFA5", HexText(Hex("00 FF A5")));
}

// Bytes 0, 1, 2, ... of the given length (wrapping at 256).
Bytes Counting(std::size_t n) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i);
    return b;
}

TEST(Codec, DatagramHexIsCutOnlyBeyondTheLongestFrame) {
    struct Case {
        std::size_t length;
        std::size_t shownBytes;
        bool marked;
    };
    const Case cases[] = {
        {0, 0, false},    {9, 9, false},    {28, 28, false},  // up to the longest frame: in full
        {29, 29, true},   {64, 64, true},   {65, 64, true},   // longer: at most 64 bytes, and "..."
        {8000, 64, true}, {8192, 64, true},
    };
    for (const Case& c : cases) {
        const Bytes d = Counting(c.length);
        const std::string expected =
            HexText(ByteSpan(d).first(c.shownBytes)) + (c.marked ? "..." : "");
        EXPECT_EQ(expected, DatagramHexText(d)) << c.length;
    }
    EXPECT_EQ(28u, kLongestFrame);
    EXPECT_EQ(static_cast<std::size_t>(FrameSize(frame::kEvent)), kLongestFrame);
    EXPECT_EQ(kLongestFrame, AppendCrc(ChangeUnitIdFrame(1, "356938035643809", 2)).size());
}

TEST(Codec, RejectionOfALongDatagramShowsItsCutHexAndItsRealLength) {
    const Bytes longEvent = WithCrc(
        "06 00 00 05 03 02 01 00 1A 0C 08 0A 1E 00 31 32 33 34 31 31 33 30 30 31 30 30 35 00");
    ASSERT_EQ(29u, longEvent.size());
    const Bytes junk = Counting(8000);
    struct Case {
        const char* what;
        Bytes datagram;
        std::string message;
    };
    const Case cases[] = {
        {"28 bytes, bad CRC", Counting(28),
         "Receive msg, containing INVALID CRC. Msg from 192.0.2.5 (28 b.): 0x" +
             HexText(Counting(28))},
        {"29-byte event", longEvent,
         "Receive INVALID Size STRING from 192.0.2.5 (29 b.): 0x" + HexText(longEvent) + "..."},
        {"8000 bytes of junk", junk,
         "Receive msg, containing INVALID CRC. Msg from 192.0.2.5 (8000 b.): 0x"
         "000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F"
         "202122232425262728292A2B2C2D2E2F303132333435363738393A3B3C3D3E3F..."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const CheckedFrame f = CheckFrame(c.datagram);
        EXPECT_EQ(c.message, RejectMessage(f.reject, c.datagram, "192.0.2.5"));
    }
    const Bytes typed = [&] {
        Bytes b = junk;
        b[0] = 0x77;
        b.back() = Crc8(ByteSpan(b).first(b.size() - 1));
        return b;
    }();
    EXPECT_EQ(
        "Receive msg, containing INVALID FrameType (0x77). Msg from 192.0.2.5 (8000 b.): 0x77" +
            HexText(ByteSpan(typed).subspan(1, 63)) + "...",
        RejectMessage(RejectKind::BadFrameType, typed, "192.0.2.5"));
}

Bytes EventWithTime(const char* stamp) {
    return WithCrc(std::string("06 00 00 05 03 02 01 00 ") + stamp +
                   " 31 32 33 34 31 31 33 30 30 31 30 30 35");
}

TEST(Codec, EventTimesThatAreNoDate) {
    struct Case {
        const char* stamp;
        bool valid;
        std::string raw;
    };
    const Case cases[] = {
        {"1A 02 1E 0A 00 00", false, "2026-02-30 10:00:00"},
        {"1A 02 1E 19 3D 00", false, "2026-02-30 25:61:00"},
        {"1A 0D 01 00 00 00", false, "2026-13-01 00:00:00"},
        {"1A 00 01 00 00 00", false, "2026-00-01 00:00:00"},
        {"1A 04 1F 00 00 00", false, "2026-04-31 00:00:00"},
        {"1A 01 01 18 00 00", false, "2026-01-01 24:00:00"},
        {"1A 01 01 00 3C 00", false, "2026-01-01 00:60:00"},
        {"1A 01 01 00 00 3C", false, "2026-01-01 00:00:60"},
        {"1A 01 00 00 00 00", false, "2026-01-00 00:00:00"},
        {"18 02 1D 17 3B 3B", true, "2024-02-29 23:59:59"},
        {"FF FF FF FF FF FF", false, "2255-255-255 255:255:255"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stamp);
        const Bytes frame = EventWithTime(c.stamp);
        // The stamp is not part of the checks: the frame is accepted either way.
        ASSERT_TRUE(CheckFrame(frame).Accepted());
        const EventFields ev = DecodeEvent(frame);
        EXPECT_EQ(c.valid, ev.timeValid);
        EXPECT_EQ(c.raw, RawTimeText(ev.rawTime));
        EXPECT_EQ("1234", ev.account);
    }
    EXPECT_DOUBLE_EQ(At(2024, 2, 29, 23, 59, 59),
                     DecodeEvent(EventWithTime("18 02 1D 17 3B 3B")).time);
}

TEST(Codec, EventTextFieldsAreCutAtTheirOffsets) {
    // Characters taken as received, whatever they are.
    const Bytes frame =
        WithCrc("06 00 00 05 03 02 01 00 1A 0C 08 0A 1E 00 41 42 43 44 33 45 46 47 48 49 01 4A 7F");
    ASSERT_TRUE(CheckFrame(frame).Accepted());
    const EventFields ev = DecodeEvent(frame);
    EXPECT_EQ("ABCD", ev.account);
    EXPECT_EQ("3EFG", ev.event);
    EXPECT_EQ("HI", ev.partition);
    EXPECT_EQ(std::string("\x01J\x7F"), ev.zone);
    EXPECT_EQ("?J?", PrintableText(ev.zone));
}

TEST(Codec, PrintableText) {
    struct Case {
        std::string in;
        std::string out;
    };
    const Case cases[] = {
        {"1234", "1234"},         {std::string("\x00\x01\x1F 7", 5), "??? 7"},
        {"\r\n\x14", "???"},      {"a\x7F~", "a?~"},
        {"\x80\xFF", "\x80\xFF"}, {"", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.out, PrintableText(c.in));
    }
}

TEST(Codec, NewTimeAnswersASetTimeRequest) {
    const Bytes request = WithCrc("0A 03 01 02 03 02 01 00");
    ASSERT_TRUE(CheckFrame(request).Accepted());
    const Bytes reply = BuildNewTime(request, At(2026, 12, 8, 10, 30, 2));
    EXPECT_EQ(Spaced(WithCrc("0B 03 01 02 1A 0C 08 0A 1E 02")), Spaced(reply));
    EXPECT_EQ(11u, reply.size());
}

TEST(Codec, NewUnitNrAnswersAChangeRequest) {
    const Bytes request =
        WithCrc("20 00 12 34 00 00 00 00 33 35 31 32 33 34 35 36 37 38 39 30 31 32 33");
    ASSERT_TRUE(CheckFrame(request).Accepted());
    struct Case {
        std::string nr;
        const char* digits;
    };
    const Case cases[] = {
        {"0042", "02 04 00 00"}, {"9999", "09 09 09 09"}, {"1234", "04 03 02 01"}};
    for (const auto& c : cases) {
        const Bytes reply = BuildNewUnitNr(request, c.nr);
        EXPECT_EQ(Spaced(WithCrc(std::string("21 00 12 34 33 35 31 32 33 34 35 36 37 38 39 30 31 "
                                             "32 33 ") +
                                 c.digits)),
                  Spaced(reply));
        EXPECT_EQ(24u, reply.size());
    }
}

TEST(Codec, CommandFramesWithoutCrc) {
    EXPECT_EQ("2C 00 00 00 03 02 01 00", Spaced(CommandFrame(frame::kGetAutomaticTest, 123, 8)));
    EXPECT_EQ("25 00 00 00 09 09 09 09", Spaced(CommandFrame(frame::kGetGSMLevel, 9999, 8)));
    EXPECT_EQ("2A 00 00 00 03 02 01 00 1A 0C 08 0A 1E 02",
              Spaced(SetTimeFrame(123, At(2026, 12, 8, 10, 30, 2))));
    EXPECT_EQ("27 00 00 00 03 02 01 00 00", Spaced(OpenCloseFrame(123, false)));
    EXPECT_EQ("27 00 00 00 03 02 01 00 01", Spaced(OpenCloseFrame(123, true)));
    EXPECT_EQ("2B 00 00 00 03 02 01 00 33 35 31 32 33 34 35 36 37 38 39 30 31 32 33 02 04 00 00",
              Spaced(ChangeUnitIdFrame(123, "351234567890123", 42)));
    EXPECT_EQ(28u, AppendCrc(ChangeUnitIdFrame(123, "351234567890123", 42)).size());
}

}  // namespace
