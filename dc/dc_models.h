#pragma once
// The DC distribution device of the base model and of the tvr27pk model,
// which keeps the base model's decoding and rules.
#include "dc/dc_record.h"
#include "dc/pmbus_power_dc.h"

#include <string>

// Device-type number under which DC snapshots are published.
constexpr int kDcTypeNumber = 5108;

extern template class PMBusPowerDC<tele_c_qzl4200_dc, kDcTypeNumber>;

class QZL4200DC : public PMBusPowerDC<tele_c_qzl4200_dc, kDcTypeNumber> {
public:
    QZL4200DC();
    explicit QZL4200DC(const std::string& name);
    ~QZL4200DC() override;

    // The base model adds no rules of its own.
    void DoImpCheckAlert() override;
};

class tvr27pkDC : public QZL4200DC {
public:
    tvr27pkDC();
    // The name is not kept: the base model is built unnamed.
    explicit tvr27pkDC(const std::string& name);
    ~tvr27pkDC() override;
};
