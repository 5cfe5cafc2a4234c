// Blobs compiled into the program at build time (the STR0 string tables). The platform's
// FindResourceA looks resources up here; nothing else should.
#pragma once

#include <cstddef>

namespace k419 {

struct EmbeddedResource {
    const char* name;           // e.g. "K419_ERROR_STRINGS_ENGLISH"
    const char* type;           // resource type: a name, or "#<n>" for an integer type (RT_RCDATA is "#10")
    const unsigned char* data;
    std::size_t size;
};

// The resource with that name and type (names compared without regard to ASCII case, as
// Win32 does), or nullptr.
const EmbeddedResource* FindEmbeddedResource(const char* name, const char* type);

}  // namespace k419
