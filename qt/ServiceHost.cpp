#include "qt/ServiceHost.h"

#include <unistd.h>

namespace korvan {

ServiceHost::ServiceHost(Receiver& core, const IClock& clock)
    : core_(core),
      out_(STDERR_FILENO, clock),
      memoImp_(out_, "<5>"),
      memoErr_(out_, "<3>"),
      dialogs_(out_) {
    core_.Attach(
        ReceiverViews{memoAll_, memoImp_, memoErr_, ledImp_, ledErr_, sound_, dialogs_, *this});
}

ServiceHost::~ServiceHost() {
    core_.Detach();
}

}  // namespace korvan
