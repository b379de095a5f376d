#pragma once
// The snapshot of a device with a group record and a list of channel
// records: the record's bytes followed by each channel record's, in a buffer
// the device keeps and replaces only when the channel count changes.
#include <cstddef>
#include <cstring>
#include <memory>
#include <vector>

template <typename Length, typename Record, typename Channel>
void FillSnapshot(std::unique_ptr<unsigned char[]>& buffer, Length& length, const Record& record,
                  const std::vector<Channel>& channels) {
    const std::size_t channelBytes = sizeof(Channel) * channels.size();
    const std::size_t want = sizeof(Record) + channelBytes;
    if (!buffer || static_cast<std::size_t>(length) != want) {
        buffer.reset(new unsigned char[want]());
        length = static_cast<Length>(want);
    }
    std::memcpy(buffer.get(), &record, sizeof(Record));
    if (channelBytes > 0)
        std::memcpy(buffer.get() + sizeof(Record), static_cast<const void*>(channels.data()), channelBytes);
}
