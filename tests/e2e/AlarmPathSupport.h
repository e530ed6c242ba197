#pragma once

// What the alarm-path tests share: unit frames built with the receiver's own
// codec, the monitoring software's side of the serial line (heartbeats
// answered and put aside), unit database records written and read byte by
// byte, and a receiver started with a settings file and a serial link, also
// as the fixture of the tests that run one such receiver.

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "device/Codec.h"
#include "e2e/ReceiverHarness.h"

using namespace korvan;

// Kept in a namespace of their own: other end-to-end helpers have frame
// builders of the same names.
namespace e2e::alarm {

inline const std::string kHeartbeat = "1077           @    ";
inline constexpr std::uint8_t kAnswer = 0x06;

// --- Unit frames ------------------------------------------------------------

// The 8-byte header: type, EncrMarker, FrameID (big-endian), unit digits.
inline Bytes Header(std::uint8_t type, int unit, int frameId, std::uint8_t encr = 0) {
    const auto digits = UnitNrToDigits(unit);
    return Bytes{type,
                 encr,
                 static_cast<std::uint8_t>(frameId >> 8),
                 static_cast<std::uint8_t>(frameId & 0xFF),
                 digits[0],
                 digits[1],
                 digits[2],
                 digits[3]};
}

inline void AppendText(Bytes& b, const std::string& text) {
    b.insert(b.end(), text.begin(), text.end());
}

// Event time 2026-12-08 10:30:00 unless given.
inline Bytes EventFrame(int unit, int frameId, const std::string& account,
                        const std::string& event = "1130", const std::string& partition = "01",
                        const std::string& zone = "005",
                        std::array<std::uint8_t, 6> time = {26, 12, 8, 10, 30, 0}) {
    Bytes b = Header(frame::kEvent, unit, frameId);
    b.insert(b.end(), time.begin(), time.end());
    AppendText(b, account);
    AppendText(b, event);
    AppendText(b, partition);
    AppendText(b, zone);
    return AppendCrc(b);
}

inline Bytes PingFrame(int unit, int frameId) {
    return AppendCrc(Header(frame::kPing, unit, frameId));
}

inline Bytes SetTimeRequestFrame(int unit, int frameId) {
    return AppendCrc(Header(frame::kSetTimeRequest, unit, frameId));
}

inline Bytes ChangeUnitNrRequestFrame(int unit, int frameId, const std::string& imei) {
    Bytes b = Header(frame::kChangeUnitNrRequest, unit, frameId);
    AppendText(b, imei);
    return AppendCrc(b);
}

inline Bytes PingImeiFwVerFrame(int unit, int frameId, const std::string& imei,
                                std::array<std::uint8_t, 3> fw) {
    Bytes b = Header(frame::kPingImeiFwVer, unit, frameId);
    AppendText(b, imei);
    b.insert(b.end(), fw.begin(), fw.end());
    return AppendCrc(b);
}

inline Bytes GsmLevelFrame(int unit, int frameId, std::uint8_t level) {
    Bytes b = Header(frame::kGSMLevel, unit, frameId);
    b.push_back(level);
    return AppendCrc(b);
}

inline std::string Hex(const Bytes& b) {
    static const char* digits = "0123456789ABCDEF";
    std::string out;
    for (std::uint8_t x : b) {
        out += digits[x >> 4];
        out += digits[x & 0x0F];
    }
    return out;
}

// Seconds between a 6-byte stamp of the receiver (UTC wall clock) and now;
// a large number when the stamp is not a real time.
inline long StampAgeSeconds(const Bytes& b, std::size_t at) {
    if (b.size() < at + 6)
        return 1000000;
    std::tm tm{};
    tm.tm_year = 100 + b[at];
    tm.tm_mon = b[at + 1] - 1;
    tm.tm_mday = b[at + 2];
    tm.tm_hour = b[at + 3];
    tm.tm_min = b[at + 4];
    tm.tm_sec = b[at + 5];
    const std::time_t t = ::timegm(&tm);
    return std::labs(static_cast<long>(std::time(nullptr) - t));
}

// An ACK or NACK: `type`, bytes 1..7 as `head` has them, the receiver's
// time within two seconds of now, a valid CRC, 15 bytes in all.
inline void ExpectAnswer(const Bytes& reply, std::uint8_t type, const Bytes& head) {
    ASSERT_EQ(15u, reply.size()) << Hex(reply);
    Bytes expected = head;
    expected[0] = type;
    EXPECT_EQ(Hex(expected), Hex(Bytes(reply.begin(), reply.begin() + 8)));
    EXPECT_LE(StampAgeSeconds(reply, 8), 2) << Hex(reply);
    EXPECT_TRUE(IsCrcValid(reply)) << Hex(reply);
}

inline Bytes Head8(const Bytes& frame) {
    return Bytes(frame.begin(), frame.begin() + 8);
}

// --- The monitoring software's end --------------------------------------------

// The next line that is not a heartbeat; heartbeats met on the way are
// answered (when `answerHeartbeats`) and put aside. Empty when none came in
// time; a torn transmission comes back as it is, so it fails any comparison.
inline std::string NextAlarmLine(PtyPeer& pty, int timeoutMs, bool answerHeartbeats = true) {
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (true) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        if (left <= 0)
            return std::string();
        const std::string line = pty.ReadLine(static_cast<int>(left));
        if (line.empty())
            return std::string();
        if (line != kHeartbeat)
            return line;
        if (answerHeartbeats)
            pty.Write({kAnswer});
    }
}

// --- Unit database --------------------------------------------------------

inline constexpr std::size_t kRecordSize = 40;
inline constexpr std::size_t kDbSize = 400000;

struct DbUnit {
    int nr = 0;
    std::uint8_t commTrSent = 0;
    std::array<std::uint8_t, 4> ip{1, 0, 0, 127};  // on disk: d, c, b, a
    std::uint16_t port = 0;
    std::int64_t firstMsg = 0;  // seconds since 2000-01-01
    std::int64_t lastMsg = 0;
    std::string account;  // up to 4 characters
};

inline void PutLe(std::string& db, std::size_t at, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i)
        db[at + static_cast<std::size_t>(i)] = static_cast<char>(value >> (8 * i));
}

inline std::string MakeDb(const std::vector<DbUnit>& units) {
    std::string db(kDbSize, '\0');
    for (const DbUnit& u : units) {
        const std::size_t at = static_cast<std::size_t>(u.nr) * kRecordSize;
        db[at] = 1;
        db[at + 2] = static_cast<char>(u.commTrSent);
        for (int i = 0; i < 4; ++i)
            db[at + 13 + static_cast<std::size_t>(i)] =
                static_cast<char>(u.ip[static_cast<std::size_t>(i)]);
        PutLe(db, at + 17, u.port, 2);
        PutLe(db, at + 19, static_cast<std::uint64_t>(u.firstMsg), 4);
        PutLe(db, at + 23, static_cast<std::uint64_t>(u.lastMsg), 4);
        for (std::size_t i = 0; i < u.account.size() && i < 4; ++i) db[at + 30 + i] = u.account[i];
    }
    return db;
}

// Record `nr` of a database file, as bytes.
inline Bytes Record(const std::string& db, int nr) {
    const std::size_t at = static_cast<std::size_t>(nr) * kRecordSize;
    if (db.size() < at + kRecordSize)
        return {};
    return Bytes(db.begin() + static_cast<long>(at),
                 db.begin() + static_cast<long>(at + kRecordSize));
}

inline std::uint64_t Le(const Bytes& rec, std::size_t at, int bytes) {
    std::uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | rec[at + static_cast<std::size_t>(i)];
    return v;
}

// --- A working installation ---------------------------------------------------

struct LinkSettings {
    int trouble1 = 15;
    int trouble2 = 60;
    int trouble3 = 240;
    int delay = 7;
    int ping = 30;
};

// A settings file naming COM7, ports/COM7 linked to the pseudo-terminal, and
// a start that waits until the UDP endpoint listens. Returns the port.
inline std::uint16_t StartLinked(Receiver& r, PtyPeer& pty, const LinkSettings& s = {},
                                 const StartOptions& options = {}) {
    const std::uint16_t port = FreeUdpPort();
    r.WriteSettings(port, "COM7", s.trouble1, s.trouble2, s.trouble3, s.delay, s.ping);
    r.LinkPort("COM7", pty.SlaveName());
    r.Start(options);
    const bool up = r.WaitAllLog("UDP Server Listen Port " + std::to_string(port));
    EXPECT_TRUE(up) << r.AllLog() << r.ErrLog() << r.Stderr();
    EXPECT_NE(std::string::npos, r.AllLog().find("Serial Port COM7 opened"))
        << r.AllLog() << r.ImpLog();
    pty.CloseSlave();
    return port;
}

// Whether `block` stands in `lines` as consecutive lines.
inline bool HasBlock(const std::vector<std::string>& lines, const std::vector<std::string>& block) {
    if (block.empty())
        return true;
    for (std::size_t i = 0; i + block.size() <= lines.size(); ++i) {
        std::size_t k = 0;
        while (k < block.size() && lines[i + k] == block[k]) ++k;
        if (k == block.size())
            return true;
    }
    return false;
}

// Waits until `block` stands in the All-messages log as consecutive lines:
// a unit may already hold its answer while the line about it is written.
inline bool WaitAllBlock(const Receiver& r, const std::vector<std::string>& block,
                         int timeoutMs = 3000) {
    return WaitFor([&] { return HasBlock(LogMessages(r.AllLog()), block); }, timeoutMs);
}

inline std::string Joined(const std::vector<std::string>& lines) {
    std::string out;
    for (const std::string& l : lines) out += l + "\n";
    return out;
}

inline std::size_t Count(const std::vector<std::string>& lines, const std::string& line) {
    std::size_t n = 0;
    for (const std::string& l : lines) n += l == line ? 1 : 0;
    return n;
}

// A receiver started with StartLinked, the monitoring software's end of its
// serial line and one unit socket on loopback, for the tests of one receiver.
// The test states what differs: it writes a database before Start() when it
// needs known units, and passes settings when it wants heartbeats or other
// thresholds (by default none: the only lines on the link are alarms).
class LinkedReceiverTest : public ::testing::Test {
protected:
    void Start(const LinkSettings& s = {.ping = 0}) { port = StartLinked(r, pty, s); }

    // Sends `frame` from `from` (the test's unit when not given) and returns
    // the answer, which must come from the receiver's port.
    Bytes Exchange(const Bytes& frame, UdpUnit* from = nullptr, int timeoutMs = 5000) {
        UdpUnit& u = from != nullptr ? *from : unit;
        u.Send(port, frame);
        std::uint16_t answeredFrom = 0;
        const Bytes reply = u.Receive(timeoutMs, &answeredFrom);
        EXPECT_EQ(port, answeredFrom);
        return reply;
    }

    // Exchange() whose answer must be the ACK of `frame`.
    Bytes Acked(const Bytes& frame, UdpUnit* from = nullptr, int timeoutMs = 5000) {
        const Bytes ack = Exchange(frame, from, timeoutMs);
        ExpectAnswer(ack, 0x01, Head8(frame));
        return ack;
    }

    // The next line on the serial link; answered, whatever came.
    std::string AnsweredLine(int timeoutMs = 5000) {
        const std::string line = pty.ReadLine(timeoutMs);
        pty.Write({kAnswer});
        return line;
    }

    // The All-messages line for `frame` coming from the test's unit.
    std::string ReceivedLine(const Bytes& frame) const {
        return "Receive from 127.0.0.1:" + std::to_string(unit.Port()) + " (" +
               std::to_string(frame.size()) + " b.): 0x" + Hex(frame);
    }

    // Waits until `line` stands `times` times in the All-messages log.
    bool WaitAllCount(const std::string& line, std::size_t times, int timeoutMs = 3000) const {
        return WaitFor([&] { return Count(LogMessages(r.AllLog()), line) == times; }, timeoutMs);
    }

    // A database record of the test's unit, first heard an hour ago and last
    // twenty minutes ago.
    DbUnit SilentUnit(int nr, const std::string& account) const {
        DbUnit u;
        u.nr = nr;
        u.port = unit.Port();
        u.firstMsg = DbSecondsNow() - 3600;
        u.lastMsg = DbSecondsNow() - 20 * 60;
        u.account = account;
        return u;
    }

    Receiver r;
    PtyPeer pty;
    UdpUnit unit;
    std::uint16_t port = 0;
};

}  // namespace e2e::alarm
