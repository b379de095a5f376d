// The closed host calls devices through fixed virtual-table slots; pointers
// to virtual members pin the order here for native and target builds.
#include "host/pmbus_protocol.h"
#include "host/provider.h"
#include "tests/support/vtable_slot.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using testhost::SlotOf;

struct Slot {
    const char* name;
    long index;
    long expected;  // vtable index; the virtual destructor takes two entries (8 and 9)
};

TEST(HostSlots, VirtualOperationsKeepTheHostOrder) {
    using P = PMBusProtocol;
    const Slot slots[] = {
        {"Get_Value", SlotOf(&P::Get_Value), 0},
        {"LoadFromCache(text)", SlotOf(static_cast<bool (P::*)(const std::string&)>(&P::LoadFromCache)), 1},
        {"LoadFromCache(bytes)", SlotOf(static_cast<bool (P::*)(const unsigned char*, int)>(&P::LoadFromCache)), 2},
        {"DataId", SlotOf(&P::DataId), 3},
        {"DeviceType", SlotOf(&P::DeviceType), 4},
        {"DeviceIoControl", SlotOf(&P::DeviceIoControl), 5},
        {"RoundDone", SlotOf(&P::RoundDone), 6},
        {"UseControllerDb", SlotOf(&P::UseControllerDb), 7},
        {"Reset", SlotOf(&P::Reset), 10},
        {"InitV", SlotOf(&P::InitV), 11},
        {"Init", SlotOf(&P::Init), 12},
        {"InitSetting", SlotOf(&P::InitSetting), 13},
        {"IsSupportDevice", SlotOf(&P::IsSupportDevice), 14},
        {"GetChildVDevice", SlotOf(&P::GetChildVDevice), 15},
        {"GetAllChildVDevices", SlotOf(&P::GetAllChildVDevices), 16},
        {"SendSP", SlotOf(&P::SendSP), 17},
        {"SendDelayData", SlotOf(&P::SendDelayData), 18},
        {"SendDoData", SlotOf(&P::SendDoData), 19},
        {"ReadDi", SlotOf(&P::ReadDi), 20},
        {"ReadAi", SlotOf(&P::ReadAi), 21},
        {"Get_SP_Value", SlotOf(&P::Get_SP_Value), 22},
        {"RefreshStatus", SlotOf(&P::RefreshStatus), 23},
        {"process", SlotOf(&P::process), 24},
        {"IsProcessing", SlotOf(&P::IsProcessing), 25},
        {"IsStalled", SlotOf(&P::IsStalled), 26},
        {"SendData", SlotOf(&P::SendData), 27},
        {"SendParityData", SlotOf(&P::SendParityData), 28},
        {"OpenPort", SlotOf(&P::OpenPort), 29},
        {"ClosePort", SlotOf(&P::ClosePort), 30},
        {"process_payload", SlotOf(&P::process_payload), 31},
        {"process_error", SlotOf(&P::process_error), 32},
    };
    for (const auto& s : slots) EXPECT_EQ(s.index, s.expected) << s.name;
}

TEST(HostSlots, ProvidersCreateThroughTheSecondSlot) {
    // Provider: destructor only (two entries); create follows.
    EXPECT_EQ(SlotOf(&VNQSPDeviceProvider::create), 2);
}

}  // namespace
