#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "base/LogChannels.h"
#include "platform/Clock.h"
#include "platform/Types.h"
#include "platform/Udp.h"
#include "platform/Views.h"
#include "registry/Units.h"

namespace korvan {

// The operator's commands from the popup menu of the units grid. Each one
// builds a command frame for the unit of the grid's current row, sends it
// from the device link's endpoint to the address the unit was last heard
// from, and logs it. Commands are fire-and-forget: whatever the unit answers
// arrives as an ordinary datagram. Every handler does nothing at all while
// the grid holds no row.
//
// Error handling differs by command, as the operator sees it: SendCMD and
// Change Unit ID report failures on the Errors channel; Set Time, Open,
// Close and Delete let a failure propagate to the caller, where the GUI's
// default error handling shows it.
class UnitCommands {
public:
    // `endpoint` gives the device link's open socket (nullptr when none);
    // `showAllMsgTab` scrolls the All-messages memo to its end and makes the
    // All Msg tab the active one.
    UnitCommands(LogChannels logs, IClock& clock, Registry& registry, IDialogs& dialogs,
                 std::function<IUdpSocket*()> endpoint, std::function<void()> showAllMsgTab);

    // A plain 8-byte command (plus CRC) to the current unit. Failures are
    // reported under "SendCMD"; the "Send Cmd" line is then not written.
    void SendCMD(std::uint8_t code, const std::string& name);
    // Appends the CRC, sends, logs the "Send Cmd" block and shows the All Msg
    // tab. No guard: a failure propagates.
    void SendCmdFrame(int nr, Bytes frameWithoutCrc, const std::string& name);

    // The popup menu's commands, for the grid's current unit.
    void RequestPing();
    void RequestAutomaticTest();
    void RequestGsmLevel();
    // Set Time, Open and Close have no guard of their own.
    void SetUnitTime();
    void ResetUnit();
    void OpenUnit();
    void CloseUnit();
    // Asks for the new number and checks it; failures are reported under
    // "ImportantcmdChangeUnitID1Click".
    void ChangeUnitNr();
    void ClearUnitStorage();
    // Asks for confirmation, then removes the unit. No guard.
    void DeleteUnit();

private:
    // Unit number of the grid's current row; -1 when there is none.
    int SelectedUnit();

    LogChannels logs_;
    IClock& clock_;
    Registry& registry_;
    IDialogs& dialogs_;
    std::function<IUdpSocket*()> endpoint_;
    std::function<void()> showAllMsgTab_;
};

}  // namespace korvan
