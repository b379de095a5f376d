#include "rc/rc_models.h"

template class PMBusPowerRC<tele_c_qzl4200_rc, tele_c_qzl4200_rc_channel, kRcTypeNumber>;

QZL4200RC::QZL4200RC() { deviceType_ = "qzl4200-rc"; }

QZL4200RC::~QZL4200RC() = default;

void QZL4200RC::DoImpCheckAlert() {}

tvr27pkRC::tvr27pkRC() { deviceType_ = "tvr27pk-rc"; }

tvr27pkRC::~tvr27pkRC() = default;
