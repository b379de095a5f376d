#pragma once
// The AC distribution device of the base model and of the tvr27pk model,
// which keeps the base model's decoding and rules.
#include "ac/ac_records.h"
#include "ac/pmbus_power_ac.h"

// Device-type number under which AC snapshots are published.
constexpr int kAcTypeNumber = 5106;

extern template class PMBusPowerAC<tele_c_qzl4200_ac, tele_c_qzl4200_ac_channel, kAcTypeNumber>;

class QZL4200AC : public PMBusPowerAC<tele_c_qzl4200_ac, tele_c_qzl4200_ac_channel, kAcTypeNumber> {
public:
    QZL4200AC();
    ~QZL4200AC() override;

    // The base model reports no rules of its own; it only names its inputs
    // ("第<n>路交流输入"), kept once built.
    void DoImpCheckAlert() override;

private:
    NumberedText inputNames_;
};

class tvr27pkAC : public QZL4200AC {
public:
    tvr27pkAC();
    ~tvr27pkAC() override;
};
