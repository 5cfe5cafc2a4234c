// The string store over the program's embedded tables and over hand-built tables.
#include "serial/StringStore.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

void PutU32(Bytes& b, std::size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.at(at + i) = static_cast<unsigned char>(v >> (8 * i));
}

void Append32(Bytes& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<unsigned char>(v >> (8 * i)));
}

// A well-formed table of the given entries, which must be in ascending key order.
Bytes BuildTable(const std::vector<std::pair<int32_t, std::u16string>>& entries) {
    Bytes b = {'S', 'T', 'R', '0'};
    Append32(b, static_cast<uint32_t>(entries.size()));
    uint32_t offset = static_cast<uint32_t>(8 + 12 * entries.size());
    for (const auto& [key, text] : entries) {
        Append32(b, static_cast<uint32_t>(key));
        Append32(b, offset);
        Append32(b, static_cast<uint32_t>(text.size()));
        offset += static_cast<uint32_t>(2 * text.size());
    }
    for (const auto& entry : entries)
        for (char16_t u : entry.second) {
            b.push_back(static_cast<unsigned char>(u & 0xFF));
            b.push_back(static_cast<unsigned char>(u >> 8));
        }
    return b;
}

std::string OpenError(const Bytes& table) {
    try {
        TStringResource store(std::span<const unsigned char>(table.data(), table.size()));
    } catch (const ETpsStringResourceError& e) {
        return e.what();
    }
    return "(accepted)";
}

std::string OpenError(const char* name) {
    try {
        TStringResource store(nullptr, name);
    } catch (const ETpsStringResourceError& e) {
        return e.what();
    }
    return "(accepted)";
}

Bytes ReadCompiled(const std::string& name) {
    std::ifstream in(std::string(K419_BINARY_DIR) + "/resources/" + name + ".str0",
                     std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

TEST(StringStore, OwnMessagesByKey) {
    TStringResource store(nullptr, "K419_STORE_STRINGS");
    const std::pair<int32_t, const char*> cases[] = {
        {1, "String not found: %d"},
        {2, "Cannot lock resource"},
        {3, "String resource not found: %s"},
        {4, "Unable to open string resource: %s"},
        {5, "Invalid TPString resource"},
        {0, ""},
        {6, ""},
        {-1, ""},
    };
    for (const auto& [key, text] : cases) EXPECT_EQ(store.Text(key), text) << "key " << key;
}

TEST(StringStore, ErrorTableTexts) {
    TStringResource store(nullptr, "k419_error_strings_english");  // names ignore case
    const std::pair<int32_t, const char*> cases[] = {
        {0, "OK"},
        {2005, "ie_Hardware - Specified comport in use"},
        {2, "File not found"},
        {162, "General failure"},
        {15001, "No event"},
        {15020, "User"},
        {15101, "ReadCom"},
        {15102, "WriteCom"},
        {15103, "Line status"},
        {15104, "Modem status"},
        {15115, "Status"},
        {15118, "Procedure"},
        {15119, "Method"},
        {15501, "Time      Type      SubType       Data      OtherData"},
        {15502, "--------  --------  ------------  --------  ---------"},
        {15601, "DCTS "},
        {15605, "CTS "},
        {15608, "DCD "},
        // Between or outside the keys: no entry.
        {7, ""},
        {1, ""},
        {13804, ""},
        {13849, ""},
        {15743, ""},
        {-2005, ""},
        {INT32_MIN, ""},
        {INT32_MAX, ""},
    };
    for (const auto& [key, text] : cases) EXPECT_EQ(store.Text(key), text) << "key " << key;
}

// Every range of the error table is present from its first to its last key and does not
// run over at either end.
TEST(StringStore, ErrorTableHoldsExactlyItsRanges) {
    const std::pair<int32_t, int32_t> ranges[] = {
        {0, 0},         {2, 6},         {8, 8},         {15, 15},       {18, 18},
        {100, 105},     {150, 162},     {1001, 1009},   {2001, 2012},   {3001, 3010},
        {4001, 4008},   {4101, 4101},   {4201, 4213},   {4301, 4312},   {4401, 4403},
        {5001, 5003},   {5501, 5506},   {6001, 6015},   {7001, 7014},   {8001, 8005},
        {8050, 8055},   {8060, 8074},   {8080, 8092},   {9001, 9007},   {10004, 10004},
        {10009, 10009}, {10013, 10014}, {10022, 10022}, {10024, 10024}, {10035, 10071},
        {10091, 10093}, {10101, 10101}, {11001, 11004}, {13501, 13516}, {13533, 13557},
        {13565, 13565}, {13597, 13601}, {13801, 13803}, {13805, 13848}, {13850, 13886},
        {13928, 13945}, {15001, 15020}, {15101, 15351}, {15501, 15502}, {15601, 15608},
        {15700, 15742},
    };
    TStringResource& store = K419ErrorStringsEnglish();
    store.SetRaiseNotFound(true);
    int total = 0;
    for (const auto& [first, last] : ranges) {
        for (int32_t key = first; key <= last; ++key) {
            EXPECT_NO_THROW(store.Text(key)) << "key " << key;
            ++total;
        }
        EXPECT_THROW(store.Text(first - 1), ETpsStringResourceError) << "before " << first;
        EXPECT_THROW(store.Text(last + 1), ETpsStringResourceError) << "after " << last;
    }
    store.SetRaiseNotFound(false);
    EXPECT_EQ(total, 704);
}

TEST(StringStore, CompiledTablesHaveTheirLayout) {
    const Bytes own = ReadCompiled("K419_STORE_STRINGS");
    ASSERT_EQ(own.size(), 324u);
    EXPECT_EQ(own[4], 5);
    EXPECT_EQ(own[12], 68);  // first text right behind the index
    const Bytes errors = ReadCompiled("K419_ERROR_STRINGS_ENGLISH");
    ASSERT_GE(errors.size(), 8456u);
    EXPECT_EQ(errors[4] | errors[5] << 8, 704);
    EXPECT_EQ(errors[12] | errors[13] << 8, 8456);
    // What the program embeds is what the build left in the build folder.
    for (const auto* name : {"K419_STORE_STRINGS", "K419_ERROR_STRINGS_ENGLISH"}) {
        const HMODULE module = GetModuleHandleA(nullptr);
        const HRSRC r = FindResourceA(module, name, RT_RCDATA);
        ASSERT_NE(r, nullptr) << name;
        const auto* data = static_cast<const unsigned char*>(LockResource(LoadResource(module, r)));
        ASSERT_NE(data, nullptr) << name;
        EXPECT_EQ(Bytes(data, data + SizeofResource(module, r)), ReadCompiled(name)) << name;
    }
}

TEST(StringStore, OpenFailuresNameTheCase) {
    EXPECT_EQ(OpenError("NO_SUCH_TABLE"), "String resource not found: NO_SUCH_TABLE");
    // The name is cut to 255 characters before the search.
    const std::string longName(300, 'X');
    EXPECT_EQ(OpenError(longName.c_str()), "String resource not found: " + std::string(255, 'X'));
    EXPECT_EQ(OpenError(nullptr), "(accepted)");
    EXPECT_EQ(OpenError(""), "(accepted)");
    try {
        TStringResource store(std::span<const unsigned char>{});
        FAIL() << "a table without bytes was accepted";
    } catch (const ETpsStringResourceError& e) {
        EXPECT_STREQ(e.what(), "Cannot lock resource");
    }
}

TEST(StringStore, EmptyStoreFindsNothing) {
    TStringResource store(nullptr, nullptr);
    EXPECT_FALSE(store.IsOpen());
    EXPECT_EQ(store.Text(0), "");
    store.SetRaiseNotFound(true);
    EXPECT_THROW(store.Text(0), ETpsStringResourceError);
}

TEST(StringStore, MissingKeyRaisesOnlyWhenAsked) {
    TStringResource store(nullptr, "K419_ERROR_STRINGS_ENGLISH");
    EXPECT_FALSE(store.RaiseNotFound());
    EXPECT_EQ(store.Text(7), "");
    store.SetRaiseNotFound(true);
    for (int32_t key : {7, -3, 0x7FFFFFFF}) {
        try {
            store.Text(key);
            FAIL() << "no exception for key " << key;
        } catch (const ETpsStringResourceError& e) {
            EXPECT_EQ(std::string(e.what()), "String not found: " + std::to_string(key));
        }
    }
    EXPECT_EQ(store.Text(0), "OK");
}

TEST(StringStore, ReopenAndClose) {
    TStringResource store(nullptr, "K419_STORE_STRINGS");
    store.Open(nullptr, "K419_ERROR_STRINGS_ENGLISH");
    EXPECT_EQ(store.Text(0), "OK");
    EXPECT_THROW(store.Open(nullptr, "NO_SUCH_TABLE"), ETpsStringResourceError);
    EXPECT_FALSE(store.IsOpen());  // a failed open leaves nothing behind
    EXPECT_EQ(store.Text(0), "");
    store.Open(nullptr, "K419_STORE_STRINGS");
    store.Close();
    EXPECT_EQ(store.Text(5), "");
}

TEST(StringStore, WellFormedTablesAreRead) {
    const Bytes table = BuildTable({{INT32_MIN, u"min"},
                                    {-5, u"minus five"},
                                    {0, u""},
                                    {3, u"\u041E\u043C"},  // Cyrillic "Ом"
                                    {4, u"\U0001F600"},    // a surrogate pair
                                    {INT32_MAX, u"max"}});
    TStringResource store(std::span<const unsigned char>(table.data(), table.size()));
    const std::pair<int32_t, const char*> cases[] = {
        {INT32_MIN, "min"},      {-5, "minus five"}, {0, ""},  {3, "\xD0\x9E\xD0\xBC"},
        {4, "\xF0\x9F\x98\x80"}, {INT32_MAX, "max"}, {-4, ""}, {1, ""},
    };
    for (const auto& [key, text] : cases) EXPECT_EQ(store.Text(key), text) << "key " << key;

    // No entries at all; and a text at an odd offset.
    EXPECT_EQ(TStringResource(std::span<const unsigned char>(BuildTable({}))).Text(0), "");
    Bytes odd = BuildTable({{1, u"ab"}});
    odd.insert(odd.begin() + 20, 0);
    PutU32(odd, 12, 21);
    EXPECT_EQ(TStringResource(std::span<const unsigned char>(odd)).Text(1), "ab");
}

TEST(StringStore, MalformedTablesAreRejected) {
    const Bytes good = BuildTable({{1, u"one"}, {2, u"two"}});  // 32 bytes of index, 12 of text
    struct Case {
        const char* what;
        Bytes table;
    };
    auto with = [&](std::size_t at, uint32_t v) {
        Bytes b = good;
        PutU32(b, at, v);
        return b;
    };
    std::vector<Case> cases = {
        {"wrong magic", with(0, 0x31525453)},  // "STR1"
        {"empty", {}},
        {"magic only", Bytes(good.begin(), good.begin() + 4)},
        {"header cut", Bytes(good.begin(), good.begin() + 7)},
        {"index cut", Bytes(good.begin(), good.begin() + 30)},
        {"last text cut", Bytes(good.begin(), good.end() - 1)},
        {"count too large", with(4, 3)},
        {"huge count", with(4, 0xFFFFFFFF)},
        {"offset past the end", with(24, 45)},
        {"offset into the index", with(12, 8)},
        {"length past the end", with(28, 4)},
        {"length wrapping in 32 bits", with(28, 0x80000000)},
        {"offset wrapping in 32 bits", with(24, 0xFFFFFFFE)},
        {"keys not ascending", with(20, 0)},
        {"duplicate keys", with(20, 1)},
    };
    // The magic check reads exactly four bytes: a table of "STR" alone must not pass.
    cases.push_back({"three bytes", Bytes(good.begin(), good.begin() + 3)});
    for (const Case& c : cases) {
        // An exact-size heap copy, so that AddressSanitizer sees any read past the end.
        Bytes copy(c.table);
        copy.reserve(1);  // a non-null pointer even for the empty table
        EXPECT_EQ(OpenError(copy), "Invalid TPString resource") << c.what;
    }
    EXPECT_EQ(OpenError(good), "(accepted)");
}

}  // namespace
