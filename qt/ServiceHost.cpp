#include "qt/ServiceHost.h"

#include <unistd.h>

#include "device/MessageProcessor.h"
#include "monitoring/SendBuffer.h"
#include "monitoring/SerialChannel.h"
#include "monitoring/TcpOutput.h"

namespace korvan {

ServiceHost::ServiceHost(const std::string& exeDir)
    : out_(STDERR_FILENO, clock_), memoImp_(out_, "<5>"), memoErr_(out_, "<3>"), dialogs_(out_) {
    ReceiverPlatform platform{clock_,   timers_,  dialogs_, sound_,  udp_,  serial_, memoAll_,
                              memoImp_, memoErr_, ledImp_,  ledErr_, *this, exeDir};
    platform.tcp = &tcp_;
    receiver_ = std::make_unique<Receiver>(platform);
}

ServiceHost::~ServiceHost() = default;

std::string ReceiverStatus(Receiver& receiver) {
    std::string status;
    if (receiver.Processor().UdpEndpoint() == nullptr) {
        status = "UDP port " + std::to_string(receiver.Settings().UDPSrvPort) +
                 " closed: the unit database or the port cannot be used (Log/Errors.log "
                 "says which); ";
    }
    SerialChannel& serial = receiver.Serial();
    const ILineOutput* in = receiver.Buffer().OutputInUse();
    std::string output = "none";
    if (in != nullptr && in == receiver.Tcp())
        output = "TCP " + receiver.Tcp()->Peer();
    else if (in == &serial)
        output = "serial " + serial.PortName();
    status +=
        std::to_string(receiver.Buffer().SendBufferCount()) + " lines waiting, output " + output;
    return status;
}

}  // namespace korvan
