#pragma once
// The two bus-device models: tvr27pk, which the plug-in's provider creates
// and which runs its own variant of the answer handling, and the base model
// QZL4200, which keeps the class template's cycle and sets its own line
// settings.
#include "ac/ac_models.h"
#include "bus/pmbus_power.h"
#include "dc/dc_models.h"
#include "rc/rc_models.h"

extern template class PMBusPower<tvr27pkAC, tvr27pkDC, tvr27pkRC>;
extern template class PMBusPower<QZL4200AC, QZL4200DC, QZL4200RC>;

class tvr27pk : public PMBusPower<tvr27pkAC, tvr27pkDC, tvr27pkRC> {
public:
    tvr27pk();
    ~tvr27pk() override;

    // No wait before an answer, two AC requests, the DC group always polled.
    int process_payload() override;
};

class QZL4200 : public PMBusPower<QZL4200AC, QZL4200DC, QZL4200RC> {
public:
    QZL4200();
    ~QZL4200() override;
};
