#include "device/Commands.h"

#include <charconv>
#include <exception>
#include <stdexcept>
#include <utility>

#include "base/Format.h"
#include "base/Guard.h"
#include "base/Text.h"
#include "device/Codec.h"

namespace korvan {

namespace {

// A whole decimal number with an optional sign; -1 for anything else,
// including numbers too large for an int.
int ToIntOrMinusOne(const std::string& text) {
    const char* first = text.data();
    const char* last = text.data() + text.size();
    bool negative = false;
    if (first != last && (*first == '+' || *first == '-')) {
        negative = *first == '-';
        ++first;
    }
    if (first == last || *first < '0' || *first > '9')
        return -1;
    int value = 0;
    const auto [ptr, ec] = std::from_chars(first, last, value);
    if (ec != std::errc() || ptr != last)
        return -1;
    return negative ? -value : value;
}

}  // namespace

UnitCommands::UnitCommands(LogChannels logs, IClock& clock, Registry& registry, IDialogs& dialogs,
                           std::function<IUdpSocket*()> endpoint,
                           std::function<void()> showAllMsgTab)
    : logs_(logs),
      clock_(clock),
      registry_(registry),
      dialogs_(dialogs),
      endpoint_(std::move(endpoint)),
      showAllMsgTab_(std::move(showAllMsgTab)) {}

int UnitCommands::SelectedUnit() {
    UnitTable& table = registry_.Table();
    if (!table.IsOpen() || table.Empty())
        return -1;
    return table.CurrentUnitNr();
}

void UnitCommands::SendCMD(std::uint8_t code, const std::string& name) {
    Guarded(logs_.err, "SendCMD", [&] {
        const int nr = SelectedUnit();
        if (nr < 0)
            return;
        SendCmdFrame(nr, CommandFrame(code, nr, 8), name);
    });
}

void UnitCommands::SendCmdFrame(int nr, Bytes frameWithoutCrc, const std::string& name) {
    const Bytes frame = AppendCrc(std::move(frameWithoutCrc));
    IUdpSocket* socket = endpoint_ ? endpoint_() : nullptr;
    if (socket == nullptr)
        throw std::runtime_error("UDP endpoint is not active");
    const UnitRecord& unit = registry_.Unit(nr);
    socket->Send(unit.address, static_cast<std::uint16_t>(unit.port), frame);
    logs_.all.AddMsg(std::string(1, '\0') + Format("Send Cmd <%s> to Unit %.4d: 0x%s", name.c_str(),
                                                   nr, HexText(frame).c_str()));
    if (showAllMsgTab_)
        showAllMsgTab_();
}

void UnitCommands::RequestPing() {
    SendCMD(frame::kGetPing, "Get Ping");
}

void UnitCommands::RequestAutomaticTest() {
    SendCMD(frame::kGetAutomaticTest, "Get Automatic Test");
}

void UnitCommands::RequestGsmLevel() {
    SendCMD(frame::kGetGSMLevel, "Get GSM Level");
}

void UnitCommands::SetUnitTime() {
    const int nr = SelectedUnit();
    if (nr < 0)
        return;
    SendCmdFrame(nr, SetTimeFrame(nr, clock_.Now()), "Set Time");
}

void UnitCommands::ResetUnit() {
    SendCMD(frame::kResetDevice, "Reset Device");
}

void UnitCommands::OpenUnit() {
    const int nr = SelectedUnit();
    if (nr < 0)
        return;
    SendCmdFrame(nr, OpenCloseFrame(nr, false), "Do Open");
}

void UnitCommands::CloseUnit() {
    const int nr = SelectedUnit();
    if (nr < 0)
        return;
    SendCmdFrame(nr, OpenCloseFrame(nr, true), "Do Close");
}

void UnitCommands::ChangeUnitNr() {
    Guarded(logs_.err, "ImportantcmdChangeUnitID1Click", [&] {
        const int nr = SelectedUnit();
        if (nr < 0)
            return;
        // The command carries the unit's IMEI: without it the unit would not
        // know the command is meant for it.
        if (registry_.Unit(nr).imei.size() != 15) {
            dialogs_.Warning(Format("Unknown Imei of Unit %.4d\r\nCommand can not be proceed", nr));
            return;
        }
        std::string entry = UnitNrText(nr);
        if (!dialogs_.InputQuery("Change UnitID", "Type New UnitID [0001..9999]", entry))
            return;
        const std::string trimmed = Trim(entry);
        const int newNr = ToIntOrMinusOne(trimmed);
        if (newNr < 1 || newNr > 9999) {
            dialogs_.Warning("\"" + trimmed +
                             "\" - not valid UnitID\r\nValid UnitID is in range [0001..9999]");
            return;
        }
        // The registry is read again here: datagrams were handled while the
        // dialog was open.
        if (registry_.IsUnitKnown(newNr)) {
            dialogs_.Warning(
                Format("Such UnitID %.4d already exists\r\nCommand can not be proceed", newNr));
            return;
        }
        SendCmdFrame(nr, ChangeUnitIdFrame(nr, registry_.Unit(nr).imei, newNr), "Change UnitID");
    });
}

void UnitCommands::ClearUnitStorage() {
    SendCMD(frame::kClearStorage, "Clear Storage");
}

void UnitCommands::DeleteUnit() {
    const int nr = SelectedUnit();
    if (nr < 0)
        return;
    if (dialogs_.Confirm(Format("Unit [%.4d] - Really Delete?", nr)))
        registry_.DeleteUnit(nr);
}

}  // namespace korvan
