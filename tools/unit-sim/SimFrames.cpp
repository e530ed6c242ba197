#include "tools/unit-sim/SimFrames.h"

#include <algorithm>
#include <cstdio>

namespace unitsim {

namespace {

struct KindInfo {
    Kind kind;
    const char* option;
    const char* name;
    std::uint8_t code;
};

constexpr KindInfo kKinds[] = {
    {Kind::Event, "event", "Event", frame::kEvent},
    {Kind::SetTimeRequest, "settime", "SetTimeRequest", frame::kSetTimeRequest},
    {Kind::ChangeUnitNrRequest, "changenr", "ChangeUnitNrRequest", frame::kChangeUnitNrRequest},
    {Kind::PingImeiFwVer, "pingimei", "PingImeiFwVer", frame::kPingImeiFwVer},
    {Kind::Ping, "ping", "Ping", frame::kPing},
    {Kind::GSMLevel, "gsm", "GSMLevel", frame::kGSMLevel},
};

const KindInfo& Info(Kind kind) {
    for (const auto& k : kKinds) {
        if (k.kind == kind) {
            return k;
        }
    }
    return kKinds[0];
}

// `text` fitted to `width` characters: cut, or padded on the left with '0'.
void PutText(Bytes& out, std::size_t at, const std::string& text, std::size_t width) {
    const std::string fitted =
        text.size() >= width ? text.substr(0, width) : std::string(width - text.size(), '0') + text;
    std::copy(fitted.begin(), fitted.end(), out.begin() + static_cast<std::ptrdiff_t>(at));
}

bool StampIsDate(ByteSpan frame, std::size_t at) {
    DateTimeParts p;
    p.year = 2000 + frame[at];
    p.month = frame[at + 1];
    p.day = frame[at + 2];
    p.hour = frame[at + 3];
    p.minute = frame[at + 4];
    p.second = frame[at + 5];
    p.msec = 0;
    TDateTime ignored = 0;
    return TryEncodeDateTime(p, ignored);
}

AnswerCheck Fail(Verdict v, std::string detail) {
    return {v, std::move(detail), -1};
}

std::string Hex2(std::uint8_t b) {
    return HexText(ByteSpan(&b, 1));
}

}  // namespace

std::optional<Kind> KindFromName(std::string_view name) {
    for (const auto& k : kKinds) {
        if (name == k.option) {
            return k.kind;
        }
    }
    return std::nullopt;
}

const char* KindName(Kind kind) {
    return Info(kind).name;
}

std::uint8_t KindCode(Kind kind) {
    return Info(kind).code;
}

Bytes BuildUnitFrame(const UnitFrame& f) {
    const std::uint8_t code = KindCode(f.kind);
    Bytes out = CommandFrame(code, f.unitNr, static_cast<std::size_t>(FrameSize(code) - 1));
    out[1] = f.encrMarker;
    out[2] = static_cast<std::uint8_t>(f.frameId >> 8);
    out[3] = static_cast<std::uint8_t>(f.frameId & 0xFF);
    switch (f.kind) {
        case Kind::Event:
            std::copy(f.time.begin(), f.time.end(), out.begin() + 8);
            PutText(out, 14, f.account, 4);
            PutText(out, 18, f.event, 4);
            PutText(out, 22, f.partition, 2);
            PutText(out, 24, f.zone, 3);
            break;
        case Kind::ChangeUnitNrRequest:
            PutText(out, 8, f.imei, 15);
            break;
        case Kind::PingImeiFwVer:
            PutText(out, 8, f.imei, 15);
            std::copy(f.fw.begin(), f.fw.end(), out.begin() + 23);
            break;
        case Kind::GSMLevel:
            out[8] = f.level;
            break;
        case Kind::SetTimeRequest:
        case Kind::Ping:
            break;
    }
    return AppendCrc(std::move(out));
}

std::array<std::uint8_t, 6> StampOf(const DateTimeParts& p) {
    // The receiver's own stamp encoding; parts that are no real date give
    // the stamp of day 0, as the receiver never sends one.
    TDateTime dt = 0;
    TryEncodeDateTime(p, dt);
    return PutTimeStamp(dt);
}

std::uint8_t ExpectedAnswerType(std::uint8_t sentType) {
    switch (sentType) {
        case frame::kEvent:
        case frame::kPingImeiFwVer:
        case frame::kPing:
        case frame::kGSMLevel:
            return frame::kAck;
        case frame::kSetTimeRequest:
            return frame::kNewTime;
        case frame::kChangeUnitNrRequest:
            return frame::kNewUnitNr;
        default:
            return 0;
    }
}

std::size_t AnswerLength(std::uint8_t answerType) {
    switch (answerType) {
        case frame::kAck:
        case frame::kNack:
            return 15;
        case frame::kNewTime:
            return 11;
        case frame::kNewUnitNr:
            return 24;
        default:
            return 0;
    }
}

const char* VerdictName(Verdict v) {
    switch (v) {
        case Verdict::Ok:
            return "ok";
        case Verdict::Refused:
            return "refused";
        case Verdict::WrongType:
            return "wrong type";
        case Verdict::WrongLength:
            return "wrong length";
        case Verdict::BadCrc:
            return "bad CRC";
        case Verdict::WrongEcho:
            return "wrong echo";
        case Verdict::BadStamp:
            return "bad time stamp";
        case Verdict::BadNumber:
            return "bad unit number";
    }
    return "?";
}

AnswerCheck CheckAnswer(ByteSpan sent, ByteSpan answer) {
    if (answer.empty()) {
        return Fail(Verdict::WrongLength, "empty answer");
    }
    const std::uint8_t expected = ExpectedAnswerType(sent.empty() ? 0 : sent[0]);
    const std::uint8_t type = answer[0];
    if (type != expected && type != frame::kNack) {
        return Fail(Verdict::WrongType,
                    "type 0x" + Hex2(type) + " where 0x" + Hex2(expected) + " was due");
    }
    const std::size_t length = AnswerLength(type);
    if (answer.size() != length) {
        return Fail(Verdict::WrongLength, std::to_string(answer.size()) + " bytes where " +
                                              std::to_string(length) + " were due");
    }
    if (!IsCrcValid(answer)) {
        return Fail(Verdict::BadCrc, "CRC 0x" + Hex2(answer.back()) + " where 0x" +
                                         Hex2(Crc8(answer.first(answer.size() - 1))) + " was due");
    }
    // ACK and NACK copy the whole header; NewTime and NewUnitNr only the
    // marker and FrameID, since they carry no UnitID.
    const std::size_t echoEnd = (type == frame::kAck || type == frame::kNack) ? 8 : 4;
    for (std::size_t i = 1; i < echoEnd; ++i) {
        if (i >= sent.size() || answer[i] != sent[i]) {
            return Fail(Verdict::WrongEcho, "byte " + std::to_string(i) + " is 0x" +
                                                Hex2(answer[i]) + ", sent 0x" +
                                                Hex2(i < sent.size() ? sent[i] : 0));
        }
    }
    if (type == frame::kNewUnitNr) {
        for (std::size_t i = 0; i < 15; ++i) {
            if (8 + i >= sent.size() || answer[4 + i] != sent[8 + i]) {
                return Fail(Verdict::WrongEcho, "IMEI character " + std::to_string(i + 1) +
                                                    " differs from the request");
            }
        }
    }
    if (type == frame::kAck || type == frame::kNack) {
        if (!StampIsDate(answer, 8)) {
            return Fail(Verdict::BadStamp, "stamp " + SpacedHex(answer.subspan(8, 6)));
        }
    }
    if (type == frame::kNewTime && !StampIsDate(answer, 4)) {
        return Fail(Verdict::BadStamp, "stamp " + SpacedHex(answer.subspan(4, 6)));
    }
    AnswerCheck ok;
    if (type == frame::kNewUnitNr) {
        int nr = 0;
        for (std::size_t i = 23; i-- > 19;) {
            if (answer[i] > 9) {
                return Fail(Verdict::BadNumber, "digits " + SpacedHex(answer.subspan(19, 4)));
            }
            nr = nr * 10 + answer[i];
        }
        if (nr < 1) {
            return Fail(Verdict::BadNumber, "number 0000");
        }
        ok.newUnitNr = nr;
    }
    if (type == frame::kNack) {
        ok.verdict = Verdict::Refused;
        ok.detail = "NACK";
    }
    return ok;
}

std::optional<std::uint16_t> AnswerFrameId(ByteSpan answer) {
    if (answer.size() < 4) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>((answer[2] << 8) | answer[3]);
}

Bytes ResponderAnswer(ByteSpan datagram, TDateTime now, int nextFreeUnitNr) {
    const CheckedFrame f = CheckFrame(datagram);
    if (!f.Accepted()) {
        return BuildNack(datagram, now);
    }
    switch (f.frameType) {
        case frame::kSetTimeRequest:
            return BuildNewTime(datagram, now);
        case frame::kChangeUnitNrRequest: {
            char text[8];
            std::snprintf(text, sizeof text, "%.4d", std::clamp(nextFreeUnitNr, 1, 9999));
            return BuildNewUnitNr(datagram, text);
        }
        case frame::kEvent:
            if (!DecodeEvent(datagram).timeValid) {
                return {};
            }
            return BuildAck(datagram, now);
        default:
            return BuildAck(datagram, now);
    }
}

std::string SpacedHex(ByteSpan data) {
    std::string out;
    for (std::size_t i = 0; i < data.size(); ++i) {
        if (i > 0) {
            out.push_back(' ');
        }
        out += Hex2(data[i]);
    }
    return out;
}

}  // namespace unitsim
