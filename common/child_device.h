#pragma once
// What the AC, DC and rectifier devices share: the freshness check of
// Get_Value, the round-end stamp, the alarm-rule numbering and the hand-over
// of a round's rules and snapshot to the host. Adds no virtual operations,
// so the devices' virtual tables are those of VNQSPDevice plus their own; its
// one data member is the hand-over block kept for the next round.
#include "host/vnq_spdevice.h"

#include <atomic>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

class ChildDevice : public VNQSPDevice {
protected:
    ChildDevice() = default;
    ~ChildDevice() override;

    // Throws std::out_of_range "数据未就绪" before the first round end or
    // restore, "数据已超时" when the data is more than 60 s old. A last update
    // in the future counts as fresh.
    void CheckFresh() const;

    // Last-update time := now (second resolution).
    void TouchLastUpdate();
    // Copies the host's 7-byte time record of the current local time to dst.
    static void StampTime(unsigned char* dst);
    void MarkValid() {
        if (dataValid_ != 1) dataValid_ = 1;
    }
    // A restored snapshot makes the data valid and current.
    void MarkRestored() {
        dataValid_ = 1;
        TouchLastUpdate();
    }

    // Starts a round's rule numbering at 1.
    void BeginRules() { alarmSeq_ = 1; }
    // Reports one condition with the next sequence number.
    void Report(int level, const std::string& key, const std::string& alarmId,
                const std::string& name, const std::string& text, bool active) {
        CheckThresholdBool(level, key, alarmId, name, text, active, alarmSeq_++);
    }

    // Hands the host one work item holding this device, the pending rules
    // (moved out; the list keeps its capacity for the next round) and a copy
    // of the round's snapshot image, so that what is saved is this round's
    // image whatever later rounds do to the device's own buffer. The item
    // evaluates the batch, raises the threshold-result byte and saves the image.
    //
    // The rules and the image travel in a block that comes back to the device
    // when the item is destroyed and serves the next round: its rule list
    // becomes the pending list (with its capacity) and its image buffer is
    // reused, so a round whose previous item has finished allocates only the
    // work item itself.
    void HandOver(const unsigned char* image, std::size_t length);

private:
    struct HandOverBlock {
        std::vector<rule_value> rules;
        std::vector<unsigned char> image;
    };
    class RoundWork;

    // Keeps a returned block for the next round (any thread).
    void Recycle(HandOverBlock* block);

    // A block returned by a finished work item, or null. Exchanged atomically:
    // items may end on another thread than the round ends.
    std::atomic<HandOverBlock*> spare_{nullptr};
};

// Alarm texts of the form prefix + number + suffix ("模块3整流模块故障告警"),
// built the first time a number is asked for and kept, so that a round end
// builds no text.
class NumberedText {
public:
    NumberedText(const char* prefix, const char* suffix) : prefix_(prefix), suffix_(suffix) {}
    // The text for number n (counted from 1; n >= 1).
    const std::string& operator()(std::size_t n);

private:
    const char* prefix_;
    const char* suffix_;
    std::vector<std::string> texts_;
};
