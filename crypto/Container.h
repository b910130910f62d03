#pragma once
// The encrypted file container of package and hterm files:
//   offset 0: plain length L, 4 bytes big-endian
//   offset 4: body, the content padded to whole 16-byte blocks, AES-128-ECB under FILE_KEY
#include <cstddef>
#include <cstdint>
#include <vector>

constexpr size_t kContainerHeaderSize = 4;
constexpr size_t kAesBlockSize = 16;

enum class ContainerError {
    None,
    TooShort,         // fewer than 4 bytes: no length header
    EmptyBody,        // a header and nothing else
    PartialBlock,     // body not a whole number of 16-byte blocks
    LengthBeyondBody, // L larger than the body
};

const char* containerErrorText(ContainerError error);

struct ContainerView {
    uint32_t plainLength = 0;
    const uint8_t* body = nullptr;
    size_t bodySize = 0;
};

// Checks the framing of a container without decrypting it.
ContainerError parseContainer(const uint8_t* data, size_t size, ContainerView& view);

// The same rule for a reader that holds only the 4-byte header and knows the
// file's size: `plainLength` receives L when the framing holds.
ContainerError checkContainerHeader(const uint8_t (&header)[kContainerHeaderSize], uint64_t fileSize,
                                    uint32_t& plainLength);

// Decrypts a well-formed container; `plain` receives exactly L bytes.
// A refused container leaves `plain` empty.
ContainerError decryptContainer(const uint8_t* data, size_t size, std::vector<uint8_t>& plain);

// The same without a second copy of the file: `file` (the whole container)
// becomes its L plain bytes. A refused container leaves `file` as it was.
ContainerError decryptContainerInPlace(std::vector<uint8_t>& file);
