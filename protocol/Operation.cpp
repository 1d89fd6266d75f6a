#include "Operation.h"

#include <algorithm>

namespace qv {

ProgrammerLink::TargetControlReply attachTarget(ProgrammerLink& link, const TargetSettings& settings, bool run,
                                                uint32_t runAddress) {
    ProgrammerLink::TargetControl request;
    request.targetRun = run;
    request.runAddress = runAddress;
    request.swdSpeed = uint8_t(std::min<int>(settings.swdSpeed, 2));
    request.powerOff = settings.powerOff;
    return link.targetControl(request);
}

}  // namespace qv
