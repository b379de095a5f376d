#include "tests/support/test_host.h"

#include <boost/date_time/posix_time/posix_time.hpp>
#include <json/reader.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <stdexcept>

namespace testhost {

void TestController::Request(PMBusProtocol& dev, std::uint8_t cid1, std::uint8_t cid2,
                             const std::uint8_t* info, int length) {
    testhost::Request r;
    r.data_id = dev.DataId();
    r.cid1 = cid1;
    r.cid2 = cid2;
    if (info && length > 0) r.info.assign(info, info + length);
    r.step_after = dev.CommandStep();
    requests.push_back(std::move(r));
}

void TestController::Publish(VNQVDevice& dev, int typeNumber, const std::uint8_t* data,
                             unsigned length, bool flag) {
    published.push_back({dev.DataId(), typeNumber, std::vector<std::uint8_t>(data, data + length), flag});
}

void TestController::SaveHistory(VNQVDevice& dev, const std::uint8_t* data, unsigned length) {
    saved.push_back({dev.DataId(), 0, std::vector<std::uint8_t>(data, data + length), false});
}

void TestController::Submit(std::function<void()> work) {
    if (queue_work)
        queued.push_back(std::move(work));
    else
        work();
}

void TestController::RunQueued() {
    auto items = std::move(queued);
    queued.clear();
    for (auto& w : items) w();
}

void TestController::Clear() {
    resets = 0;
    requests.clear();
    published.clear();
    saved.clear();
    rules.clear();
    events.clear();
    logs.clear();
}

bool TestController::Logged(const std::string& text) const {
    return std::find(logs.begin(), logs.end(), text) != logs.end();
}

std::vector<std::uint8_t> Answer(std::uint8_t cid1, const std::vector<std::uint8_t>& info) {
    const std::size_t field = info.size() * 2;
    std::vector<std::uint8_t> buf(6 + info.size());
    buf[0] = 0x21;
    buf[1] = 0x01;
    buf[2] = cid1;
    buf[3] = 0x00;
    buf[4] = static_cast<std::uint8_t>(field & 0xFF);
    buf[5] = static_cast<std::uint8_t>((field >> 8) & 0xFF);
    if (!info.empty()) std::memcpy(buf.data() + 6, info.data(), info.size());
    return buf;
}

Host::Host(std::uint32_t parentId)
    : ctl(std::make_shared<TestController>()), parent(std::make_shared<ParentDevice>()) {
    parent->Init(ctl, parentId, Json::Value(Json::objectValue));
}

Json::Value ParseJson(const std::string& text) {
    Json::CharReaderBuilder b;
    std::unique_ptr<Json::CharReader> r(b.newCharReader());
    Json::Value v;
    std::string err;
    if (!r->parse(text.data(), text.data() + text.size(), &v, &err))
        throw std::runtime_error("bad JSON in test: " + err);
    return v;
}

void InOneSecond(const std::function<void()>& f) {
    using boost::posix_time::second_clock;
    for (int attempt = 0; attempt < 5; ++attempt) {
        const auto before = second_clock::local_time();
        f();
        if (second_clock::local_time() == before) return;
    }
    throw std::runtime_error("clock kept ticking during the test");
}

std::vector<std::uint8_t> FloatBytes(float f) {
    std::vector<std::uint8_t> b(4);
    std::memcpy(b.data(), &f, 4);
    return b;
}

}  // namespace testhost
