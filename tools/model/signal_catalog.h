#pragma once
// The signals a child answers through Get_Value, by device type:
//   "-ac": ia ib ic ia_alert ib_alert ic_alert and channel_N_a/b/c/f of
//          every channel (channels are probed until the device answers
//          "通道参数越界"; while it has no data none are listed)
//   "-dc": v i
//   "-rc": v (the rectifier device answers every name with an exception)
#include "host/vnq_vdevice.h"

#include <string>
#include <vector>

namespace model {

struct Signal {
    std::string name;
    bool ok = false;
    float value = 0;
    std::string error;  // the exception text when !ok
};

std::vector<Signal> ReadSignals(const VNQVDevice& dev);

}  // namespace model
