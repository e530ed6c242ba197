#include "device/Codec.h"

#include <algorithm>
#include <cstdio>

namespace korvan {

namespace {

// 256-entry table of the reflected polynomial 0x8C, built once at compile time.
constexpr std::array<std::uint8_t, 256> MakeCrcTable() {
    std::array<std::uint8_t, 256> table{};
    for (int i = 0; i < 256; ++i) {
        auto crc = static_cast<std::uint8_t>(i);
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1U) != 0 ? static_cast<std::uint8_t>((crc >> 1) ^ 0x8CU)
                                  : static_cast<std::uint8_t>(crc >> 1);
        }
        table[static_cast<std::size_t>(i)] = crc;
    }
    return table;
}

constexpr std::array<std::uint8_t, 256> kCrcTable = MakeCrcTable();

// Byte `i` of `data`, or 0 where the data is shorter: builders and decoders
// never fail, so a short input reads as zero-filled.
std::uint8_t At(ByteSpan data, std::size_t i) {
    return i < data.size() ? data[i] : 0;
}

std::string Chars(ByteSpan data, std::size_t from, std::size_t count) {
    std::string s;
    s.reserve(count);
    for (std::size_t i = from; i < from + count; ++i) {
        s.push_back(static_cast<char>(At(data, i)));
    }
    return s;
}

void PutStamp(Bytes& out, std::size_t at, TDateTime now) {
    const auto stamp = PutTimeStamp(now);
    std::copy(stamp.begin(), stamp.end(), out.begin() + static_cast<std::ptrdiff_t>(at));
}

void PutDigits(Bytes& out, std::size_t at, int nr) {
    const auto digits = UnitNrToDigits(nr);
    std::copy(digits.begin(), digits.end(), out.begin() + static_cast<std::ptrdiff_t>(at));
}

// The first 8 bytes of `frame` with byte 0 replaced by `type`, then the stamp of now.
Bytes HeaderReply(std::uint8_t type, ByteSpan frame, TDateTime now) {
    Bytes out(14, 0);
    for (std::size_t i = 1; i < 8; ++i) {
        out[i] = At(frame, i);
    }
    out[0] = type;
    PutStamp(out, 8, now);
    return AppendCrc(std::move(out));
}

}  // namespace

std::uint8_t Crc8(ByteSpan data) {
    std::uint8_t crc = 0;
    for (const std::uint8_t b : data) {
        crc = kCrcTable[static_cast<std::uint8_t>(crc ^ b)];
    }
    return crc;
}

bool IsCrcValid(ByteSpan data) {
    if (data.size() < 2) {
        return false;
    }
    return Crc8(data.first(data.size() - 1)) == data.back();
}

Bytes AppendCrc(Bytes data) {
    const std::uint8_t crc = Crc8(data);
    data.push_back(crc);
    return data;
}

std::array<std::uint8_t, 4> UnitNrToDigits(int nr) {
    nr = std::clamp(nr, 0, frame::kMaxUnitNr);
    return {static_cast<std::uint8_t>(nr % 10), static_cast<std::uint8_t>(nr / 10 % 10),
            static_cast<std::uint8_t>(nr / 100 % 10), static_cast<std::uint8_t>(nr / 1000)};
}

UnitIdInfo UnitIdText(ByteSpan frame) {
    UnitIdInfo info{"", frame::kBadUnitNr};
    if (frame.size() < 8) {
        return info;
    }
    int number = 0;
    bool digits = true;
    for (std::size_t i = 8; i-- > 4;) {
        info.text.push_back(static_cast<char>(static_cast<std::uint8_t>(frame[i] + 0x30)));
        digits = digits && frame[i] <= 9;
        number = number * 10 + frame[i];
    }
    info.number = digits ? number : frame::kBadUnitNr;
    return info;
}

std::array<std::uint8_t, 6> PutTimeStamp(TDateTime now) {
    const DateTimeParts p = DecodeDateTime(now);
    return {static_cast<std::uint8_t>((p.year - 2000) & 0xFF),
            static_cast<std::uint8_t>(p.month),
            static_cast<std::uint8_t>(p.day),
            static_cast<std::uint8_t>(p.hour),
            static_cast<std::uint8_t>(p.minute),
            static_cast<std::uint8_t>(p.second)};
}

namespace {

constexpr int FrameSizeOf(std::uint8_t frameType) {
    switch (frameType) {
        case frame::kEvent:
            return 28;
        case frame::kSetTimeRequest:
            return 9;
        case frame::kChangeUnitNrRequest:
            return 24;
        case frame::kPingImeiFwVer:
            return 27;
        case frame::kPing:
            return 9;
        case frame::kGSMLevel:
            return 10;
        default:
            return 0;
    }
}

constexpr bool NoUnitFrameIsLongerThanTheLongest() {
    for (int t = 0; t < 256; ++t) {
        if (FrameSizeOf(static_cast<std::uint8_t>(t)) > static_cast<int>(kLongestFrame))
            return false;
    }
    return true;
}
static_assert(NoUnitFrameIsLongerThanTheLongest());
static_assert(FrameSizeOf(frame::kEvent) == static_cast<int>(kLongestFrame));

}  // namespace

int FrameSize(std::uint8_t frameType) {
    return FrameSizeOf(frameType);
}

std::string DatagramHexText(ByteSpan datagram) {
    if (datagram.size() <= kLongestFrame) {
        return HexText(datagram);
    }
    std::string s = HexText(datagram.first(std::min(datagram.size(), kLoggedBytesOfLongDatagram)));
    s += "...";
    return s;
}

CheckedFrame CheckFrame(ByteSpan datagram) {
    CheckedFrame f;
    if (datagram.size() < 9) {
        f.reject = RejectKind::TooShort;
        return f;
    }
    // From here the header is readable; its fields are filled in for the
    // caller's log lines even when a later check refuses the frame.
    f.frameType = datagram[0];
    f.encrMarker = datagram[1];
    f.frameId = static_cast<std::uint16_t>((datagram[2] << 8) | datagram[3]);
    const UnitIdInfo id = UnitIdText(datagram);
    f.unitNr = id.number;
    f.unitText = id.text;

    const int size = FrameSize(f.frameType);
    if (!IsCrcValid(datagram)) {
        f.reject = RejectKind::BadCrc;
    } else if (size == 0) {
        f.reject = RejectKind::BadFrameType;
    } else if (id.number > frame::kMaxUnitNr) {
        f.reject = RejectKind::BadUnitID;
    } else if (f.encrMarker > 0xFD) {
        f.reject = RejectKind::BadEncrMarker;
    } else if (datagram.size() != static_cast<std::size_t>(size)) {
        f.reject = RejectKind::BadSize;
    }
    return f;
}

std::string RejectMessage(RejectKind kind, ByteSpan datagram, const std::string& senderAddress) {
    const char* format = nullptr;
    switch (kind) {
        case RejectKind::None:
            return {};
        case RejectKind::TooShort:
            format = "Receive TOO SHORT STRING from %s (%d b.): 0x%s";
            break;
        case RejectKind::BadCrc:
            format = "Receive msg, containing INVALID CRC. Msg from %s (%d b.): 0x%s";
            break;
        case RejectKind::BadFrameType:
            break;
        case RejectKind::BadUnitID:
            format = "Receive msg, containing INVALID UnitID. Msg from %s (%d b.): 0x%s";
            break;
        case RejectKind::BadEncrMarker:
            format = "Receive msg, containing INVALID EncrMarker. Msg from %s (%d b.): 0x%s";
            break;
        case RejectKind::BadSize:
            format = "Receive INVALID Size STRING from %s (%d b.): 0x%s";
            break;
    }
    const std::string hex = DatagramHexText(datagram);
    const int length = static_cast<int>(datagram.size());
    std::string out(hex.size() + senderAddress.size() + 128, '\0');
    int n = 0;
    if (kind == RejectKind::BadFrameType) {
        const std::uint8_t type = At(datagram, 0);
        n = std::snprintf(out.data(), out.size(),
                          "Receive msg, containing INVALID FrameType (0x%s). Msg from %s (%d b.): "
                          "0x%s",
                          HexText(ByteSpan(&type, 1)).c_str(), senderAddress.c_str(), length,
                          hex.c_str());
    } else {
        n = std::snprintf(out.data(), out.size(), format, senderAddress.c_str(), length,
                          hex.c_str());
    }
    out.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return out;
}

EventFields DecodeEvent(ByteSpan frame) {
    EventFields ev;
    for (std::size_t i = 0; i < 6; ++i) {
        ev.rawTime[i] = At(frame, 8 + i);
    }
    DateTimeParts parts;
    parts.year = 2000 + ev.rawTime[0];
    parts.month = ev.rawTime[1];
    parts.day = ev.rawTime[2];
    parts.hour = ev.rawTime[3];
    parts.minute = ev.rawTime[4];
    parts.second = ev.rawTime[5];
    parts.msec = 0;
    ev.timeValid = TryEncodeDateTime(parts, ev.time);
    if (!ev.timeValid) {
        ev.time = 0;
    }
    ev.account = Chars(frame, 14, 4);
    ev.event = Chars(frame, 18, 4);
    ev.partition = Chars(frame, 22, 2);
    ev.zone = Chars(frame, 24, 3);
    return ev;
}

std::string RawTimeText(const std::array<std::uint8_t, 6>& raw) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", 2000 + raw[0], raw[1], raw[2],
                  raw[3], raw[4], raw[5]);
    return buf;
}

Bytes BuildAck(ByteSpan frame, TDateTime now) {
    return HeaderReply(frame::kAck, frame, now);
}

Bytes BuildNack(ByteSpan datagram, TDateTime now) {
    // Fewer than 8 bytes carry no usable header: zeros stand in for it.
    if (datagram.size() < 8) {
        return HeaderReply(frame::kNack, ByteSpan(), now);
    }
    return HeaderReply(frame::kNack, datagram, now);
}

Bytes BuildNewTime(ByteSpan request, TDateTime now) {
    Bytes out(10, 0);
    out[0] = frame::kNewTime;
    for (std::size_t i = 1; i < 4; ++i) {
        out[i] = At(request, i);
    }
    PutStamp(out, 4, now);
    return AppendCrc(std::move(out));
}

Bytes BuildNewUnitNr(ByteSpan request, const std::string& unitNrText) {
    Bytes out(23, 0);
    out[0] = frame::kNewUnitNr;
    for (std::size_t i = 1; i < 4; ++i) {
        out[i] = At(request, i);
    }
    for (std::size_t i = 0; i < 15; ++i) {
        out[4 + i] = At(request, 8 + i);
    }
    // The text's first character is the thousands: it goes last.
    for (std::size_t i = 0; i < 4; ++i) {
        const char c = i < unitNrText.size() ? unitNrText[i] : '0';
        out[22 - i] = static_cast<std::uint8_t>(static_cast<std::uint8_t>(c) - 0x30);
    }
    return AppendCrc(std::move(out));
}

Bytes CommandFrame(std::uint8_t frameType, int unitNr, std::size_t length) {
    Bytes out(std::max<std::size_t>(length, 8), 0);
    out[0] = frameType;
    PutDigits(out, 4, unitNr);
    return out;
}

Bytes SetTimeFrame(int unitNr, TDateTime now) {
    Bytes out = CommandFrame(frame::kSetTime, unitNr, 14);
    PutStamp(out, 8, now);
    return out;
}

Bytes OpenCloseFrame(int unitNr, bool close) {
    Bytes out = CommandFrame(frame::kOpenClose, unitNr, 9);
    out[8] = close ? 0x01 : 0x00;
    return out;
}

Bytes ChangeUnitIdFrame(int unitNr, const std::string& imei, int newUnitNr) {
    Bytes out = CommandFrame(frame::kChangeUnitID, unitNr, 27);
    for (std::size_t i = 0; i < 15 && i < imei.size(); ++i) {
        out[8 + i] = static_cast<std::uint8_t>(imei[i]);
    }
    PutDigits(out, 23, newUnitNr);
    return out;
}

}  // namespace korvan
