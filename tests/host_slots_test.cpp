// The closed host calls devices through fixed virtual-table slots; pointers
// to virtual members pin the order here for native and target builds.
#include "host/pmbus_protocol.h"
#include "host/provider.h"
#include "tests/support/test_host.h"
#include "tests/support/vtable_slot.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

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

// The closed host reads and writes the members of its device classes where
// its own build put them: their order and types are part of the contract.
// Offsets are taken from a live bus device, so the test holds on every target.
struct Members : PMBusProtocol {
    template <typename T>
    static std::ptrdiff_t At(const PMBusProtocol& d, const T& member) {
        return reinterpret_cast<const char*>(&member) - reinterpret_cast<const char*>(&d);
    }
    static std::vector<std::pair<const char*, std::ptrdiff_t>> InOrder(const testhost::ParentDevice& d) {
        // Pointers to the protected members, named through this derived class.
        return {
            {"dataId_", At(d, d.*&Members::dataId_)},
            {"deviceType_", At(d, d.*&Members::deviceType_)},
            {"useControllerDb_", At(d, d.*&Members::useControllerDb_)},
            {"baoSettings_", At(d, d.*&Members::baoSettings_)},
            {"alarmSeq_", At(d, d.*&Members::alarmSeq_)},
            {"lastUpdate_", At(d, d.*&Members::lastUpdate_)},
            {"dataValid_", At(d, d.*&Members::dataValid_)},
            {"pendingRules_", At(d, d.*&Members::pendingRules_)},
            {"alerts_", At(d, d.*&Members::alerts_)},
            {"alertMutex_", At(d, d.*&Members::alertMutex_)},
            {"alertFlags_", At(d, d.*&Members::alertFlags_)},
            {"controller_", At(d, d.*&Members::controller_)},
            {"thresholdResult_", At(d, d.*&Members::thresholdResult_)},
            {"aiValues_", At(d, d.*&Members::aiValues_)},
            {"aiNames_", At(d, d.*&Members::aiNames_)},
            {"spValues_", At(d, d.*&Members::spValues_)},
            {"diNames_", At(d, d.*&Members::diNames_)},
            {"doNames_", At(d, d.*&Members::doNames_)},
            {"spNames_", At(d, d.*&Members::spNames_)},
            {"diValues_", At(d, d.*&Members::diValues_)},
            {"limits_", At(d, d.*&Members::limits_)},
            {"refresh_", At(d, d.*&Members::refresh_)},
            {"portOption_", At(d, d.*&Members::portOption_)},
            {"portMutex_", At(d, d.*&Members::portMutex_)},
            {"stateMutex_", At(d, d.*&Members::stateMutex_)},
            {"baud_", At(d, d.*&Members::baud_)},
            {"response_", At(d, d.*&Members::response_)},
            {"commandStep_", At(d, d.*&Members::commandStep_)},
            {"protocolVersion_", At(d, d.*&Members::protocolVersion_)},
        };
    }
    static_assert(std::is_same_v<decltype(dataId_), std::uint32_t>);
    static_assert(std::is_same_v<decltype(deviceType_), std::string>);
    static_assert(std::is_same_v<decltype(useControllerDb_), bool>);
    static_assert(std::is_same_v<decltype(alarmSeq_), std::uint16_t>);
    static_assert(std::is_same_v<decltype(lastUpdate_), boost::posix_time::ptime>);
    static_assert(std::is_same_v<decltype(dataValid_), std::uint8_t>);
    static_assert(std::is_same_v<decltype(pendingRules_), std::vector<rule_value>>);
    static_assert(std::is_same_v<decltype(controller_), std::weak_ptr<VNQController>>);
    static_assert(std::is_same_v<decltype(thresholdResult_), std::uint8_t>);
    static_assert(std::is_same_v<decltype(refresh_), std::uint32_t>);
    static_assert(std::is_same_v<decltype(portOption_), std::uint8_t>);
    static_assert(std::is_same_v<decltype(baud_), std::uint32_t>);
    static_assert(std::is_same_v<decltype(response_), const unsigned char*>);
    static_assert(std::is_same_v<decltype(commandStep_), std::uint32_t>);
    static_assert(std::is_same_v<decltype(protocolVersion_), std::uint8_t>);
};

TEST(HostMembers, DataMembersKeepTheHostOrder) {
    testhost::ParentDevice d;
    const auto members = Members::InOrder(d);
    for (std::size_t k = 1; k < members.size(); ++k)
        EXPECT_LT(members[k - 1].second, members[k].second)
            << members[k - 1].first << " comes before " << members[k].first;
    // The first member follows the virtual-table pointer.
    EXPECT_GE(members[0].second, static_cast<std::ptrdiff_t>(sizeof(void*)));
}

TEST(HostMembers, RuleFieldsKeepTheHostOrder) {
    // One byte, two texts, two 32-bit words, two texts, one 32-bit word.
    static_assert(std::is_same_v<decltype(rule_value::level), std::uint8_t>);
    static_assert(std::is_same_v<decltype(rule_value::key), std::string>);
    static_assert(std::is_same_v<decltype(rule_value::alarm_id), std::string>);
    static_assert(std::is_same_v<decltype(rule_value::data_id), std::uint32_t>);
    static_assert(std::is_same_v<decltype(rule_value::seq), std::uint32_t>);
    static_assert(std::is_same_v<decltype(rule_value::name), std::string>);
    static_assert(std::is_same_v<decltype(rule_value::text), std::string>);
    static_assert(std::is_same_v<decltype(rule_value::active), std::uint32_t>);
    rule_value r;
    const auto at = [&r](const auto& field) {
        return reinterpret_cast<const char*>(&field) - reinterpret_cast<const char*>(&r);
    };
    const std::ptrdiff_t offsets[] = {at(r.level), at(r.key),  at(r.alarm_id), at(r.data_id),
                                      at(r.seq),   at(r.name), at(r.text),     at(r.active)};
    EXPECT_EQ(offsets[0], 0);
    for (std::size_t k = 1; k < std::size(offsets); ++k) EXPECT_LT(offsets[k - 1], offsets[k]) << "field " << k;
    EXPECT_EQ(offsets[4] - offsets[3], 4) << "the two words are adjacent";
}

}  // namespace
