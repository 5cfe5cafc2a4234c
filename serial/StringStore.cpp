#include "serial/StringStore.h"

#include <climits>
#include <cstring>
#include <vector>

namespace {

constexpr std::size_t kHeaderSize = 8;
constexpr std::size_t kEntrySize = 12;
constexpr std::size_t kMaxNameLength = 255;

// The store's own messages, used when the store's table cannot supply them: a store that
// cannot read its own table must still say why it failed.
const char* const kOwnFallback[] = {
    "",
    "String not found: %d",
    "Cannot lock resource",
    "String resource not found: %s",
    "Unable to open string resource: %s",
    "Invalid TPString resource",
};

uint32_t ReadU32(std::span<const unsigned char> Bytes, std::size_t At) {
    return static_cast<uint32_t>(Bytes[At]) | static_cast<uint32_t>(Bytes[At + 1]) << 8 |
           static_cast<uint32_t>(Bytes[At + 2]) << 16 | static_cast<uint32_t>(Bytes[At + 3]) << 24;
}

// The number of index entries when the magic is right and the index fits, else nothing.
bool ReadHeader(std::span<const unsigned char> Bytes, uint64_t& Count) {
    if (Bytes.size() < kHeaderSize || std::memcmp(Bytes.data(), "STR0", 4) != 0) return false;
    Count = ReadU32(Bytes, 4);
    return Count <= (Bytes.size() - kHeaderSize) / kEntrySize;
}

// Whether the text of an entry lies within the text area of the table.
bool TextFits(std::span<const unsigned char> Bytes, uint64_t Count, uint64_t Offset,
              uint64_t Length) {
    const uint64_t textStart = kHeaderSize + kEntrySize * Count;
    return Length <= INT_MAX && Offset >= textStart && Offset <= Bytes.size() &&
           2 * Length <= Bytes.size() - Offset;
}

// A table is accepted only whole: every text inside the resource and the keys strictly
// ascending, so that the binary search of a lookup finds every key it holds.
bool WellFormed(std::span<const unsigned char> Bytes) {
    uint64_t count = 0;
    if (!ReadHeader(Bytes, count)) return false;
    for (uint64_t i = 0; i < count; ++i) {
        const std::size_t at = kHeaderSize + kEntrySize * i;
        if (!TextFits(Bytes, count, ReadU32(Bytes, at + 4), ReadU32(Bytes, at + 8))) return false;
        if (i > 0 && static_cast<int32_t>(ReadU32(Bytes, at)) <=
                         static_cast<int32_t>(ReadU32(Bytes, at - kEntrySize)))
            return false;
    }
    return true;
}

// Puts Argument in place of each %d and %s of Pattern and "%" for "%%"; any other % stays
// as it is. The patterns come from a resource, so they are never handed to printf.
std::string Substitute(const std::string& Pattern, const std::string& Argument) {
    std::string out;
    for (std::size_t i = 0; i < Pattern.size(); ++i) {
        if (Pattern[i] == '%' && i + 1 < Pattern.size()) {
            const char c = Pattern[i + 1];
            if (c == 'd' || c == 's') {
                out += Argument;
                ++i;
                continue;
            }
            if (c == '%') {
                out += '%';
                ++i;
                continue;
            }
        }
        out += Pattern[i];
    }
    return out;
}

}  // namespace

TStringResource::TStringResource(HMODULE Module, const char* ResourceName) {
    Open(Module, ResourceName);
}

TStringResource::TStringResource(std::span<const unsigned char> Table) { Open(Table); }

TStringResource::~TStringResource() { Close(); }

void TStringResource::Open(HMODULE Module, const char* ResourceName) {
    std::string name;
    const TStatus status = TryOpen(Module, ResourceName, name);
    if (status != sOk) Raise(status, name);
}

void TStringResource::Open(std::span<const unsigned char> Table) {
    Close();
    if (Table.data() == nullptr) Raise(sCannotLock, {});
    if (!WellFormed(Table)) Raise(sInvalid, {});
    FTable = Table;
}

TStringResource::TStatus TStringResource::TryOpen(HMODULE Module, const char* ResourceName,
                                                  std::string& Name) {
    Close();
    if (ResourceName == nullptr || *ResourceName == '\0') return sOk;
    Name.assign(ResourceName, strnlen(ResourceName, kMaxNameLength));
    HRSRC info = FindResourceA(Module, Name.c_str(), RT_RCDATA);
    if (info == nullptr) return sNoResource;
    HGLOBAL resource = LoadResource(Module, info);
    if (resource == nullptr) return sCannotLoad;
    FModule = Module;
    FResInfo = info;
    FResource = resource;
    std::span<const unsigned char> bytes;
    TStatus status = Map(bytes);
    if (status == sOk && !WellFormed(bytes)) status = sInvalid;
    // A store that failed to open holds nothing, so a later lookup cannot reach the bytes.
    if (status != sOk) Close();
    return status;
}

void TStringResource::Close() noexcept {
    if (FResource != nullptr) FreeResource(FResource);
    FResource = nullptr;
    FResInfo = nullptr;
    FModule = nullptr;
    FTable = {};
}

// The mapping lives only in the caller's variable for the length of one lookup, so that
// between lookups the store holds the loaded resource but no mapping.
TStringResource::TStatus TStringResource::Map(std::span<const unsigned char>& Bytes) const {
    if (FTable.data() != nullptr) {
        Bytes = FTable;
        return sOk;
    }
    const void* data = LockResource(FResource);
    if (data == nullptr) return sCannotLock;
    Bytes = {static_cast<const unsigned char*>(data), SizeofResource(FModule, FResInfo)};
    return sOk;
}

TStringResource::TStatus TStringResource::TryText(int32_t Key, std::string& Out) const {
    Out.clear();
    if (!IsOpen()) return sNotFound;
    std::span<const unsigned char> bytes;
    if (const TStatus status = Map(bytes); status != sOk) return status;
    // The table was checked whole at open; the header and the entry found are checked
    // again because the mapping is taken anew for each lookup.
    uint64_t count = 0;
    if (!ReadHeader(bytes, count)) return sInvalid;
    int64_t lo = 0;
    int64_t hi = static_cast<int64_t>(count) - 1;
    while (hi >= lo) {
        const int64_t mid = (lo + hi) / 2;
        const std::size_t at = kHeaderSize + kEntrySize * static_cast<std::size_t>(mid);
        const int32_t key = static_cast<int32_t>(ReadU32(bytes, at));
        if (key < Key) {
            lo = mid + 1;
        } else if (key > Key) {
            hi = mid - 1;
        } else {
            const uint32_t offset = ReadU32(bytes, at + 4);
            const uint32_t length = ReadU32(bytes, at + 8);
            if (!TextFits(bytes, count, offset, length)) return sInvalid;
            if (length == 0) return sOk;
            // The text may start at an odd offset: assemble the units byte by byte.
            std::vector<WCHAR> wide(length);
            for (uint32_t i = 0; i < length; ++i)
                wide[i] =
                    static_cast<WCHAR>(bytes[offset + 2 * i] | bytes[offset + 2 * i + 1] << 8);
            const int wideLength = static_cast<int>(length);
            const int size = WideCharToMultiByte(CP_ACP, 0, wide.data(), wideLength, nullptr, 0,
                                                 nullptr, nullptr);
            if (size <= 0) return sInvalid;
            Out.assign(static_cast<std::size_t>(size), '\0');
            const int written = WideCharToMultiByte(CP_ACP, 0, wide.data(), wideLength, Out.data(),
                                                    size, nullptr, nullptr);
            if (written <= 0) return sInvalid;
            Out.resize(static_cast<std::size_t>(written));
            return sOk;
        }
    }
    return sNotFound;
}

std::string TStringResource::Text(int32_t Key) const {
    std::string out;
    const TStatus status = TryText(Key, out);
    if (status == sNotFound) {
        if (FRaiseNotFound) Raise(sNotFound, std::to_string(Key));
        return {};
    }
    if (status != sOk) Raise(status, {});
    return out;
}

void TStringResource::Raise(TStatus Status, const std::string& Argument) {
    throw ETpsStringResourceError(OwnMessage(Status, Argument));
}

std::string TStringResource::OwnMessage(TStatus Status, const std::string& Argument) {
    // The store's own table is opened once, without raising: a failure here has no text
    // to report it with, and the built-in texts stand in.
    struct TOwnStrings {
        TStringResource Store;
        TOwnStrings() {
            std::string name;
            Store.TryOpen(GetModuleHandleA(nullptr), "K419_STORE_STRINGS", name);
        }
    };
    static const TOwnStrings own;
    std::string pattern;
    if (own.Store.TryText(Status, pattern) != sOk || pattern.empty())
        pattern = kOwnFallback[Status];
    return Substitute(pattern, Argument);
}

TStringResource& K419ErrorStringsEnglish() {
    static TStringResource store(GetModuleHandleA(nullptr), "K419_ERROR_STRINGS_ENGLISH");
    return store;
}
