#include "bus/bus_models.h"

template class PMBusPower<tvr27pkAC, tvr27pkDC, tvr27pkRC>;
template class PMBusPower<QZL4200AC, QZL4200DC, QZL4200RC>;

tvr27pk::tvr27pk() : PMBusPower({"tvr27pk"}) { deviceType_ = "tvr27pk"; }

tvr27pk::~tvr27pk() = default;

int tvr27pk::process_payload() { return RunCycle(bus_cycle::kTvr27pkCycle); }

QZL4200::QZL4200() : PMBusPower({"qzl4200"}) {
    deviceType_ = "qzl4200";
    baud_ = 9600;
    portOption_ = 1;
    protocolVersion_ = 0x20;  // DC requests without the command-group byte
}

QZL4200::~QZL4200() = default;
