#include "registry/Units.h"

#include <cstdio>
#include <exception>
#include <stdexcept>
#include <utility>

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

// The first failure of an update, kept while the remaining steps run.
class Registry::Failures {
public:
    void Keep() {
        if (!first_)
            first_ = std::current_exception();
    }
    void ThrowFirst() const {
        if (first_)
            std::rethrow_exception(first_);
    }

private:
    std::exception_ptr first_;
};

Registry::Registry(LogChannels logs, UnitTable& table)
    : units_(kUnitCount), owed_(kUnitCount, 0), logs_(logs), table_(table) {}

void Registry::Owe(int nr, std::uint8_t fields) {
    // Without a store changes stay in memory, and nothing is owed.
    if (store_ != nullptr)
        owed_.at(static_cast<std::size_t>(nr)) |= fields;
}

void Registry::StoreOwed(int nr, std::uint8_t fields, Failures& failures) {
    if (store_ == nullptr)
        return;
    std::uint8_t& owed = owed_.at(static_cast<std::size_t>(nr));
    const UnitRecord& u = Unit(nr);
    for (std::uint8_t field = 1; field != 0; field = static_cast<std::uint8_t>(field << 1)) {
        if ((fields & owed & field) == 0)
            continue;
        std::vector<std::pair<int, Bytes>> writes;
        try {
            switch (field) {
                case kUsedField:
                    writes.push_back({dbrec::kUsed, Bytes{1}});
                    break;
                case kFirstMsgField:
                    writes.push_back({dbrec::kFirstMsg, EncodeDbTime(u.firstMessage)});
                    break;
                case kAddressField:
                    writes.push_back({dbrec::kIp, EncodeIp(u.address)});
                    writes.push_back({dbrec::kPort, EncodePort(u.port)});
                    break;
                case kImeiField:
                    writes.push_back({dbrec::kImei, EncodeImei(u.imei)});
                    break;
                case kLastMsgField:
                    writes.push_back({dbrec::kLastMsg, EncodeDbTime(u.lastMessage)});
                    break;
                case kFirmwareField:
                    writes.push_back({dbrec::kFirmware, EncodeFirmware(u.firmwareRaw)});
                    break;
                case kAccountField:
                    writes.push_back({dbrec::kAccount, EncodeAccount(u.account)});
                    break;
                case kCommTrField:
                    writes.push_back({dbrec::kCommTr, Bytes{u.troubleStagesSent}});
                    break;
                default:
                    break;
            }
        } catch (...) {
            // The value itself cannot be stored: trying again would only fail
            // again, so it is reported this once.
            owed = static_cast<std::uint8_t>(owed & ~field);
            failures.Keep();
            continue;
        }
        try {
            for (const auto& [offset, bytes] : writes) store_->WriteUnitField(nr, offset, bytes);
            owed = static_cast<std::uint8_t>(owed & ~field);
        } catch (...) {
            failures.Keep();
        }
    }
}

bool Registry::IsUnitKnown(int nr) const {
    return Unit(nr).used;
}

std::string Registry::FindFirstFreeUnitNr() const {
    // Slot 0 is valid on receipt but never handed out.
    for (int nr = 1; nr < kUnitCount; ++nr) {
        if (!units_[static_cast<std::size_t>(nr)].used)
            return UnitNrText(nr);
    }
    return UnitNrText(kUnitCount - 1);
}

void Registry::SetAccountFromMsg(int nr, const std::string& account) {
    UnitRecord& u = Unit(nr);
    const std::string cut = Cut(account, kAccountCapacity);
    if (cut == u.account)
        return;
    u.account = cut;
    Owe(nr, kAccountField);
}

void Registry::UpdateUnitOnMessage(int nr, const UnitMessage& msg) {
    Failures failures;
    // Each step changes memory, writes its field (with any earlier write of
    // it that failed) and only then logs, so a log entry that cannot be
    // written never costs the record its data.
    UpdateFirstMessage(nr, msg, failures);
    UpdateAddress(nr, msg, failures);
    UpdateImei(nr, msg, failures);
    UpdateLastMessage(nr, msg, failures);
    UpdateFirmware(nr, msg, failures);
    UpdateAccount(nr, msg, failures);
    // Trouble flags whose last write failed.
    StoreOwed(nr, kCommTrField, failures);
    BuildRowText(nr);
    failures.ThrowFirst();
}

void Registry::UpdateFirstMessage(int nr, const UnitMessage& msg, Failures& failures) {
    UnitRecord& u = Unit(nr);
    const bool first = !u.used;
    if (first) {
        u.used = true;
        table_.Insert(static_cast<std::uint16_t>(nr));
        u.firstMessage = msg.now;
        Owe(nr, kUsedField | kFirstMsgField);
    }
    StoreOwed(nr, kUsedField | kFirstMsgField, failures);
    if (first)
        logs_.imp.AddMsg(msg.unitText + " FIRST MSG");
}

void Registry::UpdateAddress(int nr, const UnitMessage& msg, Failures& failures) {
    // A new port alone is stored without a word.
    UnitRecord& u = Unit(nr);
    const std::string ip = Cut(msg.senderIP, kIpCapacity);
    const std::string oldIp = u.address;
    if (u.address != ip || u.port != msg.senderPort) {
        u.address = ip;
        u.port = msg.senderPort;
        Owe(nr, kAddressField);
    }
    StoreOwed(nr, kAddressField, failures);
    if (oldIp != ip) {
        logs_.imp.AddMsg(UnitAccountPrefix(msg.unitText, u.account) + "Changed IP: [" + oldIp +
                         "] -> [" + ip + "]");
    }
}

void Registry::UpdateImei(int nr, const UnitMessage& msg, Failures& failures) {
    // Kept as received even when the file cannot hold it.
    UnitRecord& u = Unit(nr);
    const std::string imei = Cut(msg.imei, kImeiCapacity);
    const std::string oldImei = u.imei;
    const bool newImei = !imei.empty() && imei != u.imei;
    if (newImei) {
        u.imei = imei;
        Owe(nr, kImeiField);
    }
    StoreOwed(nr, kImeiField, failures);
    if (newImei) {
        logs_.imp.AddMsg(UnitAccountPrefix(msg.unitText, u.account) + "Changed Imei: [" +
                         PrintableText(oldImei) + "] -> [" + PrintableText(imei) + "]");
    }
}

void Registry::UpdateLastMessage(int nr, const UnitMessage& msg, Failures& failures) {
    // On both clocks: the wall time is shown and stored, the monotonic time
    // measures the silence.
    UnitRecord& u = Unit(nr);
    u.lastMessage = msg.now;
    u.lastMessageMonoMs = msg.nowMonoMs;
    Owe(nr, kLastMsgField);
    StoreOwed(nr, kLastMsgField, failures);
}

void Registry::UpdateFirmware(int nr, const UnitMessage& msg, Failures& failures) {
    UnitRecord& u = Unit(nr);
    const std::string fwRaw = Cut(msg.fwRaw, kFwRawCapacity);
    const std::string oldFwVer = u.firmwareVersion;
    const bool newFirmware = !fwRaw.empty() && fwRaw != u.firmwareRaw;
    if (newFirmware) {
        u.firmwareRaw = fwRaw;
        u.firmwareVersion = Cut(msg.fwText, kFwVerCapacity);
        Owe(nr, kFirmwareField);
    }
    StoreOwed(nr, kFirmwareField, failures);
    if (newFirmware) {
        logs_.imp.AddMsg(UnitAccountPrefix(msg.unitText, u.account) + "Changed fwVer: [" +
                         oldFwVer + "] -> [" + u.firmwareVersion + "]");
    }
}

void Registry::UpdateAccount(int nr, const UnitMessage& msg, Failures& failures) {
    // SetAccountFromMsg already put it in memory and owes it to the file;
    // the file gets it here, however long ago it changed.
    StoreOwed(nr, kAccountField, failures);
    const std::string msgAccount = Cut(msg.msgAccount, kAccountCapacity);
    if (!msgAccount.empty() && msgAccount != msg.oldAccount) {
        logs_.imp.AddMsg("[Unit " + msg.unitText + "] Changed Account: [" +
                         PrintableText(msg.oldAccount) + "] -> [" + PrintableText(msgAccount) +
                         "]");
    }
}

void Registry::MarkCommTrouble(int nr, int stage) {
    if (stage < 1 || stage > 3)
        throw std::out_of_range("Trouble stage " + std::to_string(stage));
    UnitRecord& u = Unit(nr);
    u.troubleStagesSent = static_cast<std::uint8_t>(u.troubleStagesSent | (1u << (stage - 1)));
    Owe(nr, kCommTrField);
    if (repaint_)
        repaint_();
    Failures failures;
    StoreOwed(nr, kCommTrField, failures);
    failures.ThrowFirst();
}

void Registry::ClearCommTrouble(int nr) {
    UnitRecord& u = Unit(nr);
    u.troubleStagesSent = 0;
    Owe(nr, kCommTrField);
    if (repaint_)
        repaint_();
    Failures failures;
    StoreOwed(nr, kCommTrField, failures);
    failures.ThrowFirst();
}

void Registry::BuildRowText(int nr) {
    UnitRecord& u = Unit(nr);
    u.rowText = UnitNrText(nr) + " " + u.imei + " " + u.address + ":" + std::to_string(u.port) +
                " " + DateTimeText(u.firstMessage) + " " + DateTimeText(u.lastMessage) + " " +
                u.firmwareVersion + " " + u.account;
}

void Registry::DeleteUnit(int nr) {
    if (nr < 0 || nr >= kUnitCount)
        return;
    units_[static_cast<std::size_t>(nr)] = UnitRecord{};
    owed_[static_cast<std::size_t>(nr)] = 0;  // the free slot owes the file nothing
    if (store_ != nullptr)
        store_->WriteUnitField(nr, dbrec::kUsed, Bytes(kUnitDbRecordSize, 0));
    table_.DeleteCurrent();
}

}  // namespace korvan
