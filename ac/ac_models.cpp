#include "ac/ac_models.h"

template class PMBusPowerAC<tele_c_qzl4200_ac, tele_c_qzl4200_ac_channel, kAcTypeNumber>;

QZL4200AC::QZL4200AC() : inputNames_("第", "路交流输入") { deviceType_ = "qzl4200-ac"; }

QZL4200AC::~QZL4200AC() = default;

void QZL4200AC::DoImpCheckAlert() {
    for (std::size_t n = 1; n <= channels_.size(); ++n) inputNames_(n);
}

tvr27pkAC::tvr27pkAC() { deviceType_ = "tvr27pk-ac"; }

tvr27pkAC::~tvr27pkAC() = default;
