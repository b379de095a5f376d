#include "dc/dc_models.h"

template class PMBusPowerDC<tele_c_qzl4200_dc, kDcTypeNumber>;

QZL4200DC::QZL4200DC() { deviceType_ = "qzl4200-dc"; }

QZL4200DC::QZL4200DC(const std::string& name) : PMBusPowerDC(name) { deviceType_ = "qzl4200-dc"; }

QZL4200DC::~QZL4200DC() = default;

void QZL4200DC::DoImpCheckAlert() {}

tvr27pkDC::tvr27pkDC() { deviceType_ = "tvr27pk-dc"; }

tvr27pkDC::tvr27pkDC(const std::string& /*name*/) : QZL4200DC() { deviceType_ = "tvr27pk-dc"; }

tvr27pkDC::~tvr27pkDC() = default;
