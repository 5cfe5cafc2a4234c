// The string resource store: message texts kept as "STR0" string tables in the program's
// resources, looked up by numeric key.
//
// "STR0" layout (little-endian): magic "STR0"; entry count n (unsigned 32-bit); n index
// entries of 12 bytes sorted by ascending key (key as signed 32-bit, byte offset of the
// text from the start of the resource, length in UTF-16 code units); then the texts,
// UTF-16LE without terminators.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "serial/CommErrors.h"

// Every failure of the store. The message is one of the store's own texts (resource
// "K419_STORE_STRINGS"): "String not found: %d", "Cannot lock resource",
// "String resource not found: %s", "Unable to open string resource: %s",
// "Invalid TPString resource".
class ETpsStringResourceError : public Exception {
  public:
    using Exception::Exception;
};

// One open "STR0" table. The resource's bytes are treated as untrusted: a table whose
// header, index or texts do not fit inside the resource is refused as a whole at open with
// "Invalid TPString resource", and no lookup ever reads outside the resource.
//
// Lookups do not change the store, so several threads may look up at once; Open and Close
// need the store to themselves.
class TStringResource {
  public:
    // An empty store: every lookup yields "" (or raises, with RaiseNotFound set).
    TStringResource() = default;
    // Opens the raw data resource (RT_RCDATA) ResourceName of Module (nullptr: the
    // program's own module); with no name (nullptr or "") the store stays empty. Throws
    // ETpsStringResourceError as Open does.
    TStringResource(HMODULE Module, const char* ResourceName);
    // Opens a table held in memory, which must outlive the store; checked as a resource is.
    explicit TStringResource(std::span<const unsigned char> Table);
    ~TStringResource();

    TStringResource(const TStringResource&) = delete;
    TStringResource& operator=(const TStringResource&) = delete;

    // Closes what is open, then opens the named resource (the name cut to 255 characters).
    // Throws ETpsStringResourceError with "String resource not found: <name>" when the
    // module has no such resource, "Unable to open string resource: <name>" when it cannot
    // be loaded, "Cannot lock resource" when it cannot be mapped and "Invalid TPString
    // resource" when it is not a well-formed table; the store is then empty.
    void Open(HMODULE Module, const char* ResourceName);
    // As Open, for a table held in memory that outlives the store.
    void Open(std::span<const unsigned char> Table);
    // Releases the resource; the store is empty afterwards. Never throws.
    void Close() noexcept;

    // The text for Key converted to the ANSI code page (UTF-8 here); "" for a key the table
    // does not hold, or ETpsStringResourceError "String not found: <key>" when
    // RaiseNotFound() is set.
    std::string Text(int32_t Key) const;

    // Whether a lookup of a missing key raises; false after construction.
    bool RaiseNotFound() const noexcept { return FRaiseNotFound; }
    void SetRaiseNotFound(bool Value) noexcept { FRaiseNotFound = Value; }

    // Whether a table is open.
    bool IsOpen() const noexcept { return FResource != nullptr || FTable.data() != nullptr; }

  private:
    // Results of the non-throwing steps: 0, or the number of the store's own message that
    // describes the failure.
    enum TStatus : int {
        sOk = 0,
        sNotFound = 1,
        sCannotLock = 2,
        sNoResource = 3,
        sCannotLoad = 4,
        sInvalid = 5
    };

    TStatus TryOpen(HMODULE Module, const char* ResourceName, std::string& Name);
    TStatus Map(std::span<const unsigned char>& Bytes) const;
    TStatus TryText(int32_t Key, std::string& Out) const;
    [[noreturn]] static void Raise(TStatus Status, const std::string& Argument);
    static std::string OwnMessage(TStatus Status, const std::string& Argument);

    bool FRaiseNotFound = false;
    HMODULE FModule = nullptr;
    HRSRC FResInfo = nullptr;
    HGLOBAL FResource = nullptr;
    std::span<const unsigned char> FTable;  // a table held in memory, when opened so
};

// The program's error message table (resource "K419_ERROR_STRINGS_ENGLISH"), one store for
// the life of the program. It is opened on first use rather than at program start, so that
// a missing or damaged table surfaces as an ETpsStringResourceError where a message is
// needed instead of ending the program before main; a failed open is retried at the next
// use. Initialisation is thread-safe.
TStringResource& K419ErrorStringsEnglish();
