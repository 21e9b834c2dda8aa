// The built-in developer address must be one that an address-checking pool accepts: a Bech32
// string checked here with a checksum implementation of the test's own.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "app/dev_fee.h"

namespace orvo::qel {
namespace {

const std::string BECH32_CHARSET = "qpzry9x8gf2tvdw0s3jn54khce6mua7l";

uint32_t bech32_polymod(const std::vector<uint8_t>& values) {
    const uint32_t generator[5] = {0x3b6a57b2, 0x26508e6d, 0x1ea119fa, 0x3d4233dd, 0x2a1462b3};
    uint32_t chk = 1;
    for (uint8_t v : values) {
        uint32_t top = chk >> 25;
        chk = (chk & 0x1ffffff) << 5 ^ v;
        for (int i = 0; i < 5; ++i) {
            if (top >> i & 1) chk ^= generator[i];
        }
    }
    return chk;
}

// Splits "hrp1data" at its last '1' and returns the data part's 5-bit values; empty when a
// data character is outside the alphabet.
std::vector<uint8_t> data_values(const std::string& address, std::string& hrp) {
    size_t sep = address.rfind('1');
    if (sep == std::string::npos) return {};
    hrp = address.substr(0, sep);
    std::vector<uint8_t> values;
    for (char c : address.substr(sep + 1)) {
        size_t v = BECH32_CHARSET.find(c);
        if (v == std::string::npos) return {};
        values.push_back(static_cast<uint8_t>(v));
    }
    return values;
}

bool bech32_valid(const std::string& address) {
    std::string hrp;
    std::vector<uint8_t> data = data_values(address, hrp);
    if (hrp.empty() || data.size() < 6) return false;
    std::vector<uint8_t> values;
    for (char c : hrp) values.push_back(static_cast<uint8_t>(c) >> 5);
    values.push_back(0);
    for (char c : hrp) values.push_back(static_cast<uint8_t>(c) & 31);
    values.insert(values.end(), data.begin(), data.end());
    return bech32_polymod(values) == 1;
}

TEST(DevFeeAddress, IsWellFormedBech32) {
    const std::string address = DEV_FEE_ADDRESS;
    EXPECT_EQ(address.size(), 63u);
    EXPECT_EQ(address.substr(0, 4), "qel1");
    EXPECT_TRUE(bech32_valid(address)) << address;

    std::string hrp;
    std::vector<uint8_t> data = data_values(address, hrp);
    EXPECT_EQ(hrp, "qel");
    ASSERT_EQ(data.size(), 59u) << "data characters outside the Bech32 alphabet";
    // Witness version 0 and a program of 52 groups = 260 bits: 32 bytes and 4 padding bits,
    // which strict decoders require to be zero.
    EXPECT_EQ(data[0], 0);
    EXPECT_EQ(data[52] & 0x0f, 0);
}

TEST(DevFeeAddress, CheckerRejectsNearMisses) {
    // The checker itself must catch what a pool would: one changed character, a character
    // outside the alphabet, another prefix.
    const std::string address = DEV_FEE_ADDRESS;
    std::string changed = address;
    changed[20] = changed[20] == 'q' ? 'p' : 'q';
    std::string foreign = address;
    foreign[30] = 'b';
    std::string prefix = "qex" + address.substr(3);
    for (const std::string& bad : {changed, foreign, prefix}) {
        EXPECT_FALSE(bech32_valid(bad)) << bad;
    }
}

}  // namespace
}  // namespace orvo::qel
