// Client channel definition tables as IBM MQ's client reads them: the binary table file
// (AMQCLCHL.TAB), the client-connection channels in it that serve a queue manager name, and
// connection-name lists. Read-only, from bytes already loaded: the file is untrusted input.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qmchl {

// One channel record of a table, its fixed fields without their padding.
struct Channel {
    std::string name;
    std::string qmName;
    std::string conname;    // "host(port),host(port)"
    int32_t version = 0;    // the record's MQCD version, 1 to 12
    int32_t type = 0;       // MQCHT_*
    int32_t transport = 0;  // MQXPT_*
    int32_t weight = 0;     // CLNTWGHT, 0 before MQCD version 9
};

// Reads a table image into its channels in key (channel name) order. False, with the reason in
// why, when the image is not a channel table or is damaged anywhere on the way: a block running
// past the end, a record chain or key-order link that loops or leads nowhere, keys out of order,
// a channel record of an unknown version or shorter than its version's fields.
bool readTable(std::string_view image, std::vector<Channel> &channels, std::string *why = nullptr);

// The channels a connection to qmName may use, in the order they are tried: client-connection
// channels over TCP whose QMNAME is the name (without a leading '*'; a blank or "*" name takes the
// channels with a blank QMNAME), those with CLNTWGHT 0 first, each group in channel-name order.
std::vector<Channel> channelsFor(const std::vector<Channel> &all, std::string_view qmName);

struct Address {
    std::string host;
    int port = 1414;      // 0 when the entry's port is not a port number: that address cannot be reached
    std::string channel;  // the channel the address came from (the queue manager reports it)
};

// A connection-name list "host(port),host" as addresses in order; blank entries are skipped.
std::vector<Address> parseConnames(std::string_view list);

}  // namespace qmchl
