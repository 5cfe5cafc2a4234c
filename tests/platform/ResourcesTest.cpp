// Resources compiled into the program, found through the Win32 resource calls.
#include <gtest/gtest.h>

#include "windows.h"

#include <cstring>

namespace {

TEST(Resources, StringTablesAreFoundByNameAndType) {
    HMODULE module = GetModuleHandleA(nullptr);
    for (const char* name : {"K419_ERROR_STRINGS_ENGLISH", "k419_store_strings"}) {
        SCOPED_TRACE(name);
        HRSRC info = FindResourceA(module, name, RT_RCDATA);
        ASSERT_NE(info, nullptr);
        HGLOBAL loaded = LoadResource(module, info);
        ASSERT_NE(loaded, nullptr);
        const void* data = LockResource(loaded);
        ASSERT_NE(data, nullptr);
        ASSERT_GT(SizeofResource(module, info), 4u);
        EXPECT_EQ(std::memcmp(data, "STR0", 4), 0);
        EXPECT_FALSE(FreeResource(loaded));
    }
}

TEST(Resources, MissingNamesAndTypesAreReported) {
    struct Case {
        const char* what;
        LPCSTR name;
        LPCSTR type;
    } cases[] = {
        {"unknown name", "NO_SUCH_TABLE", RT_RCDATA},
        {"other integer type", "K419_STORE_STRINGS", RT_STRING},
        {"named type", "K419_STORE_STRINGS", "RCDATA"},
        {"integer name", MAKEINTRESOURCEA(1), RT_RCDATA},
    };
    for (const Case& c : cases) {
        SetLastError(0);
        EXPECT_EQ(FindResourceA(nullptr, c.name, c.type), nullptr) << c.what;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND)) << c.what;
    }
    EXPECT_EQ(LockResource(nullptr), nullptr);
}

}  // namespace
