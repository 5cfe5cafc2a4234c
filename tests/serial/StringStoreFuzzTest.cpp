// Feeds the string store thousands of damaged "STR0" tables. Every table is either refused
// with "Invalid TPString resource" or read without touching a byte outside it; run under
// AddressSanitizer, any stray read fails the test.
#include "serial/StringStore.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

void PutU32(Bytes& b, std::size_t at, uint32_t v) {
    for (int i = 0; i < 4 && at + i < b.size(); ++i)
        b[at + i] = static_cast<unsigned char>(v >> (8 * i));
}

// A valid table of up to 20 entries with ascending random keys and random UTF-16 texts
// (unpaired surrogates included).
Bytes RandomTable(std::mt19937& rng, std::vector<int32_t>& keys) {
    std::uniform_int_distribution<int> count(0, 20);
    std::uniform_int_distribution<int> step(1, 1000);
    std::uniform_int_distribution<int> length(0, 12);
    std::uniform_int_distribution<int> unit(0, 0xFFFF);
    keys.clear();
    int32_t key = std::uniform_int_distribution<int32_t>(-5000, 5000)(rng);
    std::vector<std::u16string> texts;
    for (int i = count(rng); i > 0; --i) {
        keys.push_back(key);
        key += step(rng);
        std::u16string t;
        for (int n = length(rng); n > 0; --n) t += static_cast<char16_t>(unit(rng));
        texts.push_back(t);
    }
    Bytes b(8 + 12 * keys.size());
    b[0] = 'S', b[1] = 'T', b[2] = 'R', b[3] = '0';
    PutU32(b, 4, static_cast<uint32_t>(keys.size()));
    for (std::size_t i = 0; i < keys.size(); ++i) {
        PutU32(b, 8 + 12 * i, static_cast<uint32_t>(keys[i]));
        PutU32(b, 12 + 12 * i, static_cast<uint32_t>(b.size()));
        PutU32(b, 16 + 12 * i, static_cast<uint32_t>(texts[i].size()));
        for (char16_t u : texts[i]) {
            b.push_back(static_cast<unsigned char>(u & 0xFF));
            b.push_back(static_cast<unsigned char>(u >> 8));
        }
    }
    return b;
}

uint32_t Interesting(std::mt19937& rng, std::size_t size) {
    const uint32_t s = static_cast<uint32_t>(size);
    const uint32_t values[] = {0,          1,          s / 2,      s - 1,      s,
                               s + 1,      0x7FFFFFFF, 0x80000000, 0xFFFFFFFE, 0xFFFFFFFF,
                               0x55555555, s / 12,     s / 24};
    if (rng() % 4 == 0) return static_cast<uint32_t>(rng());
    return values[rng() % std::size(values)];
}

void Damage(std::mt19937& rng, Bytes& b) {
    const std::size_t entries = b.size() >= 8 ? (b.size() - 8) / 12 : 0;
    auto entryField = [&](int field) {
        return 8 + 12 * (entries ? rng() % entries : 0) + 4 * static_cast<std::size_t>(field);
    };
    switch (rng() % 7) {
        case 0:  // truncated anywhere
            b.resize(b.empty() ? 0 : rng() % b.size());
            break;
        case 1:  // entry count
            PutU32(b, 4, Interesting(rng, b.size()));
            break;
        case 2:  // a text offset
            PutU32(b, entryField(1), Interesting(rng, b.size()));
            break;
        case 3:  // a text length
            PutU32(b, entryField(2), Interesting(rng, b.size()));
            break;
        case 4:  // a key
            PutU32(b, entryField(0), Interesting(rng, b.size()));
            break;
        case 5:  // random bytes
            for (int n = 1 + rng() % 8; n > 0 && !b.empty(); --n)
                b[rng() % b.size()] = static_cast<unsigned char>(rng());
            break;
        default:  // grown with garbage
            for (int n = 1 + rng() % 16; n > 0; --n) b.push_back(static_cast<unsigned char>(rng()));
            break;
    }
}

TEST(StringStoreFuzz, DamagedTablesAreRefusedOrReadInBounds) {
    std::mt19937 rng(20240611);
    int refused = 0;
    int accepted = 0;
    for (int round = 0; round < 5000; ++round) {
        std::vector<int32_t> keys;
        Bytes table = RandomTable(rng, keys);
        for (int n = 1 + rng() % 3; n > 0; --n) Damage(rng, table);
        // An exact-size heap block: the first byte past the table is poisoned.
        const std::size_t size = table.size();
        std::unique_ptr<unsigned char[]> block(new unsigned char[size]);
        std::copy(table.begin(), table.end(), block.get());
        const std::span<const unsigned char> bytes(block.get(), size);
        try {
            TStringResource store(bytes);
            keys.push_back(static_cast<int32_t>(rng()));
            for (int32_t key : keys) {
                try {
                    const std::string text = store.Text(key);
                    // No text can be longer than its UTF-8 form of the whole table.
                    EXPECT_LE(text.size(), 3 * size / 2) << "round " << round;
                } catch (const ETpsStringResourceError& e) {
                    ADD_FAILURE() << "round " << round
                                  << ": lookup failed after a good open: " << e.what();
                }
            }
            ++accepted;
        } catch (const ETpsStringResourceError& e) {
            ASSERT_STREQ(e.what(), "Invalid TPString resource") << "round " << round;
            ++refused;
        }
    }
    // Both outcomes must have been exercised for the test to mean anything.
    EXPECT_GT(refused, 500);
    EXPECT_GT(accepted, 500);
}

}  // namespace
