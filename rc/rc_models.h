#pragma once
// The rectifier device of the base model and of the tvr27pk model, which
// keeps the base model's decoding and rules.
#include "rc/pmbus_power_rc.h"
#include "rc/rc_records.h"

// Device-type number under which rectifier snapshots are published.
constexpr int kRcTypeNumber = 5107;

extern template class PMBusPowerRC<tele_c_qzl4200_rc, tele_c_qzl4200_rc_channel, kRcTypeNumber>;

class QZL4200RC : public PMBusPowerRC<tele_c_qzl4200_rc, tele_c_qzl4200_rc_channel, kRcTypeNumber> {
public:
    QZL4200RC();
    ~QZL4200RC() override;

    // The base model adds no rules of its own.
    void DoImpCheckAlert() override;
};

class tvr27pkRC : public QZL4200RC {
public:
    tvr27pkRC();
    ~tvr27pkRC() override;
};
