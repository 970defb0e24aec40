// One descriptor of a bus's device list (the control device's query), checked byte for byte as a
// listing program reads it: the name and serial number with zeroed padding, the failover flag, the
// path's SCSI address and its state, and every reserved byte zero.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

namespace vorka_test {

struct ExpectedDescriptor {
    std::string name;    // "Tape0", "Changer0"
    std::string serial;  // exactly 32 characters
    std::uint8_t port, bus, target, lun;
    bool active, primary;
};

inline void ExpectDescriptor(const std::uint8_t* d, const ExpectedDescriptor& e)
{
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(d)), e.name);
    for (std::size_t b = e.name.size(); b < 64; b++) ASSERT_EQ(d[b], 0) << "name padding, byte " << b;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(d + 64), 32), e.serial);
    for (int b = 96; b < 128; b++) ASSERT_EQ(d[b], 0) << "serial number padding, byte " << b;
    EXPECT_EQ(d[128], 1) << "failover";
    EXPECT_EQ(d[129] | d[130] | d[131], 0) << "reserved";
    std::uint32_t addressLength = 0;
    std::memcpy(&addressLength, d + 132, 4);
    EXPECT_EQ(addressLength, 8u) << "SCSI_ADDRESS.Length";
    EXPECT_EQ(d[136], e.port);
    EXPECT_EQ(d[137], e.bus);
    EXPECT_EQ(d[138], e.target);
    EXPECT_EQ(d[139], e.lun);
    EXPECT_EQ(d[140], e.active ? 1 : 0) << "active";
    EXPECT_EQ(d[141], e.primary ? 1 : 0) << "primary";
    EXPECT_EQ(d[142] | d[143], 0) << "reserved";
}

}  // namespace vorka_test
