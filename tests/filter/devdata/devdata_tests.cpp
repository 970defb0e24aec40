// The device identification page walk and the serial number check (devdata.cpp) are plain
// functions: here each page sits at the very end of an accessible page of memory, so a read past
// it faults in any build.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "devdata.h"

namespace {

// A buffer of n bytes that ends where an inaccessible page begins.
class EdgeBuffer {
public:
    explicit EdgeBuffer(size_t n) : size_(n) {
        page_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        span_ = ((n + page_ - 1) / page_ + 1) * page_;
        base_ = static_cast<std::uint8_t*>(mmap(nullptr, span_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        EXPECT_NE(base_, MAP_FAILED);
        EXPECT_EQ(mprotect(base_ + span_ - page_, page_, PROT_NONE), 0);
        data_ = base_ + span_ - page_ - n;
    }
    ~EdgeBuffer() { munmap(base_, span_); }
    EdgeBuffer(const EdgeBuffer&) = delete;
    EdgeBuffer& operator=(const EdgeBuffer&) = delete;
    std::uint8_t* data() { return data_; }

private:
    size_t size_, page_ = 0, span_ = 0;
    std::uint8_t* base_ = nullptr;
    std::uint8_t* data_ = nullptr;
};

// A page of DEVICE_IDENTIFICATION_PAGE_LENGTH bytes: header, then descriptors (type byte, designator).
std::vector<std::uint8_t> Page(const std::vector<std::pair<std::uint8_t, std::vector<std::uint8_t>>>& descriptors) {
    std::vector<std::uint8_t> page(4, 0);
    page[1] = 0x83;
    for (const auto& [type, designator] : descriptors) {
        page.insert(page.end(), {0x01, type, 0x00, static_cast<std::uint8_t>(designator.size())});
        page.insert(page.end(), designator.begin(), designator.end());
    }
    page.resize(DEVICE_IDENTIFICATION_PAGE_LENGTH, 0);
    return page;
}

struct Walk {
    NTSTATUS status;
    std::string wwnn;
};

Walk WalkPage(const std::vector<std::uint8_t>& page) {
    EdgeBuffer buffer(DEVICE_IDENTIFICATION_PAGE_LENGTH);
    std::memcpy(buffer.data(), page.data(), DEVICE_IDENTIFICATION_PAGE_LENGTH);
    char wwnn[17];
    std::memset(wwnn, '0', 16);
    wwnn[16] = 0;
    NTSTATUS status = FltGetWwnnString(buffer.data(), wwnn);
    return {status, std::string(wwnn)};
}

TEST(DeviceIdentificationPage, TheLogicalUnitNaaNameIsTakenBehindOtherDescriptors) {
    Walk w = WalkPage(Page({{0x01, {'V', 'N', 'D', 'R'}}, {0x13, {1, 2, 3, 4, 5, 6, 7, 8}},
                            {0x03, {0x5A, 0xBC, 0xDE, 0xF0, 0x11, 0x22, 0xC4, 0xFF}}}));
    EXPECT_EQ(w.status, STATUS_SUCCESS);
    EXPECT_EQ(w.wwnn, "5abcdef01122c4ff");
}

TEST(DeviceIdentificationPage, ADescriptorWhoseLengthByteIsPastThePageIsRefused) {
    // Type byte on the page's byte 558: the length byte would be byte 560.
    std::vector<std::uint8_t> page = Page({{0x01, std::vector<std::uint8_t>(255, 'P')},
                                           {0x01, std::vector<std::uint8_t>(255, 'Q')},
                                           {0x01, std::vector<std::uint8_t>(31, 'R')}});
    page[557] = 0x01;
    page[558] = 0x03;
    page[559] = 0x00;
    Walk w = WalkPage(page);
    EXPECT_EQ(w.status, STATUS_DATA_ERROR);
    EXPECT_EQ(w.wwnn, std::string(16, '0'));
    // The same on byte 559, the page's last.
    std::vector<std::uint8_t> shifted = Page({{0x01, std::vector<std::uint8_t>(255, 'P')},
                                              {0x01, std::vector<std::uint8_t>(255, 'Q')},
                                              {0x01, std::vector<std::uint8_t>(32, 'R')}});
    shifted[559] = 0x03;
    w = WalkPage(shifted);
    EXPECT_EQ(w.status, STATUS_DATA_ERROR);
    EXPECT_EQ(w.wwnn, std::string(16, '0'));
}

TEST(DeviceIdentificationPage, ANameThatRunsPastThePageOrIsEmptyIsRefused) {
    std::vector<std::uint8_t> page = Page({{0x01, std::vector<std::uint8_t>(255, 'P')},
                                           {0x01, std::vector<std::uint8_t>(255, 'Q')},
                                           {0x01, std::vector<std::uint8_t>(20, 'R')}});
    page.resize(546);
    page.insert(page.end(), {0x01, 0x03, 0x00, 0x10});   // 16 bytes from 550: past the page
    page.resize(DEVICE_IDENTIFICATION_PAGE_LENGTH, 0xEE);
    EXPECT_EQ(WalkPage(page).status, STATUS_DATA_ERROR);
    EXPECT_EQ(WalkPage(Page({{0x03, {}}})).status, STATUS_DATA_ERROR);
    EXPECT_EQ(WalkPage(Page({{0x03, std::vector<std::uint8_t>(16, 0x61)}})).status, STATUS_BUFFER_TOO_SMALL);
}

TEST(SerialNumber, ThirtyTwoCharactersWithoutAnEndAreReadNoFurther) {
    EdgeBuffer serial(SERIAL_NUMBER_LENGTH);
    std::memset(serial.data(), ' ', SERIAL_NUMBER_LENGTH);
    EXPECT_TRUE(FltSerialIsBlank(reinterpret_cast<PCHAR>(serial.data())));
    serial.data()[SERIAL_NUMBER_LENGTH - 1] = 'Z';
    EXPECT_FALSE(FltSerialIsBlank(reinterpret_cast<PCHAR>(serial.data())));
    std::memcpy(serial.data(), "  \0A", 4);
    EXPECT_TRUE(FltSerialIsBlank(reinterpret_cast<PCHAR>(serial.data()))) << "what follows the end does not count";
}

}  // namespace
