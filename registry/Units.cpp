#include "registry/Units.h"

#include <cstdio>
#include <stdexcept>

#include "base/Text.h"
#include "registry/UnitDb.h"

namespace korvan {

namespace {

std::string Cut(const std::string& text, std::size_t capacity) {
    return text.size() <= capacity ? text : text.substr(0, capacity);
}

// "[Unit %s] [Account %s] ": units send their account bytes unchecked, and a
// control byte must not break the log line.
std::string UnitAccountPrefix(const std::string& unitText, const std::string& account) {
    return "[Unit " + unitText + "] [Account " + PrintableText(account) + "] ";
}

}  // namespace

Registry::Registry(LogChannels logs, UnitTable& table)
    : units_(UNIT_COUNT), logs_(logs), table_(table) {}

void Registry::Persist(int nr, int offset, const Bytes& bytes) {
    if (store_ != nullptr)
        store_->WriteUnitField(nr, offset, bytes);
}

bool Registry::IsUnitKnown(int nr) const {
    return Unit(nr).bUsed;
}

std::string Registry::FindFirstFreeUnitNr() const {
    // Slot 0 is valid on receipt but never handed out.
    for (int nr = 1; nr < UNIT_COUNT; ++nr) {
        if (!units_[static_cast<std::size_t>(nr)].bUsed)
            return UnitNrText(nr);
    }
    return UnitNrText(UNIT_COUNT - 1);
}

void Registry::SetAccountFromMsg(int nr, const std::string& account) {
    Unit(nr).sAccount = Cut(account, kAccountCapacity);
}

void Registry::UpdateUnitOnMessage(int nr, const UnitMessage& msg) {
    TUnitStruct& u = Unit(nr);

    // Each step writes its field before it logs: a log entry that cannot be
    // written must not cost the unit's record its data.

    // 1. First message.
    if (!u.bUsed) {
        u.bUsed = true;
        table_.Insert(static_cast<std::uint16_t>(nr));
        Persist(nr, dbrec::kUsed, Bytes{1});
        u.dtFirstMsg = msg.now;
        Persist(nr, dbrec::kFirstMsg, EncodeDbTime(u.dtFirstMsg));
        logs_.imp.AddMsg(msg.unitText + " FIRST MSG");
    }

    // 2. Address; a new port alone is stored without a word.
    const std::string ip = Cut(msg.senderIP, kIpCapacity);
    if (u.sIP != ip || u.iPort != msg.senderPort) {
        const std::string oldIp = u.sIP;
        u.sIP = ip;
        u.iPort = msg.senderPort;
        Persist(nr, dbrec::kIp, EncodeIp(u.sIP));
        Persist(nr, dbrec::kPort, EncodePort(u.iPort));
        if (oldIp != ip) {
            logs_.imp.AddMsg(UnitAccountPrefix(msg.unitText, u.sAccount) + "Changed IP: [" + oldIp +
                             "] -> [" + ip + "]");
        }
    }

    // 3. IMEI.
    const std::string imei = Cut(msg.imei, kImeiCapacity);
    if (!imei.empty() && imei != u.sImei) {
        const std::string oldImei = u.sImei;
        Persist(nr, dbrec::kImei, EncodeImei(imei));
        u.sImei = imei;
        logs_.imp.AddMsg(UnitAccountPrefix(msg.unitText, u.sAccount) + "Changed Imei: [" +
                         PrintableText(oldImei) + "] -> [" + PrintableText(imei) + "]");
    }

    // 4. Last message, on both clocks: the wall time is shown and stored,
    // the monotonic time measures the silence.
    u.dtLastMsg = msg.now;
    u.lastMsgMonoMs = msg.nowMonoMs;
    Persist(nr, dbrec::kLastMsg, EncodeDbTime(u.dtLastMsg));

    // 5. Firmware.
    const std::string fwRaw = Cut(msg.fwRaw, kFwRawCapacity);
    if (!fwRaw.empty() && fwRaw != u.sFwRaw) {
        const std::string oldFwVer = u.sFwVer;
        const std::string fwVer = Cut(msg.fwText, kFwVerCapacity);
        u.sFwRaw = fwRaw;
        u.sFwVer = fwVer;
        Persist(nr, dbrec::kFirmware, EncodeFirmware(u.sFwRaw));
        logs_.imp.AddMsg(UnitAccountPrefix(msg.unitText, u.sAccount) + "Changed fwVer: [" +
                         oldFwVer + "] -> [" + fwVer + "]");
    }

    // 6. Account: SetAccountFromMsg already put it in memory.
    const std::string msgAccount = Cut(msg.msgAccount, kAccountCapacity);
    if (!msgAccount.empty() && msgAccount != msg.oldAccount) {
        Persist(nr, dbrec::kAccount, EncodeAccount(u.sAccount));
        logs_.imp.AddMsg("[Unit " + msg.unitText + "] Changed Account: [" +
                         PrintableText(msg.oldAccount) + "] -> [" + PrintableText(msgAccount) +
                         "]");
    }

    // 7.
    BuildRowText(nr);
}

void Registry::MarkCommTrouble(int nr, int stage) {
    if (stage < 1 || stage > 3)
        throw std::out_of_range("Trouble stage " + std::to_string(stage));
    TUnitStruct& u = Unit(nr);
    u.byCommTrSent = static_cast<std::uint8_t>(u.byCommTrSent | (1u << (stage - 1)));
    Persist(nr, dbrec::kCommTr, Bytes{u.byCommTrSent});
    if (repaint_)
        repaint_();
}

void Registry::ClearCommTrouble(int nr) {
    TUnitStruct& u = Unit(nr);
    u.byCommTrSent = 0;
    Persist(nr, dbrec::kCommTr, Bytes{0});
    if (repaint_)
        repaint_();
}

void Registry::BuildRowText(int nr) {
    TUnitStruct& u = Unit(nr);
    u.sRowText = UnitNrText(nr) + " " + u.sImei + " " + u.sIP + ":" + std::to_string(u.iPort) + " " +
                 DateTimeText(u.dtFirstMsg) + " " + DateTimeText(u.dtLastMsg) + " " + u.sFwVer +
                 " " + u.sAccount;
}

void Registry::DeleteUnit(int nr) {
    if (nr < 0 || nr >= UNIT_COUNT)
        return;
    units_[static_cast<std::size_t>(nr)] = TUnitStruct{};
    Persist(nr, dbrec::kUsed, Bytes(UNIT_DB_RECORD_SIZE, 0));
    table_.DeleteCurrent();
}

}  // namespace korvan
