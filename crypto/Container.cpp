#include "crypto/Container.h"

#include "crypto/Aes.h"

#include <cstring>

namespace {

uint32_t readBigEndian32(const uint8_t* p)
{
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

// Blocks that hold the first `plainLength` bytes; the blocks after them are
// pure filling and are not worth decrypting.
size_t blocksFor(uint32_t plainLength)
{
    return (size_t(plainLength) + kAesBlockSize - 1) / kAesBlockSize;
}

// aesDecrypt counts in 32 bits; a body near 4 GiB goes in several calls.
void decryptBody(const uint8_t* body, size_t size, uint8_t* out)
{
    constexpr size_t kChunk = size_t(1) << 30;
    for (size_t offset = 0; offset < size; offset += kChunk) {
        const size_t part = size - offset < kChunk ? size - offset : kChunk;
        aesDecrypt(body + offset, static_cast<uint32_t>(part), out + offset);
    }
}

} // namespace

const char* containerErrorText(ContainerError error)
{
    switch (error) {
    case ContainerError::None: return "no error";
    case ContainerError::TooShort: return "file shorter than its length header";
    case ContainerError::EmptyBody: return "file without encrypted body";
    case ContainerError::PartialBlock: return "encrypted body not a whole number of blocks";
    case ContainerError::LengthBeyondBody: return "plain length larger than the encrypted body";
    }
    return "unknown error";
}

namespace {

ContainerError checkFraming(const uint8_t* header, uint64_t fileSize, uint32_t& plainLength)
{
    if (fileSize < kContainerHeaderSize)
        return ContainerError::TooShort;
    const uint64_t bodySize = fileSize - kContainerHeaderSize;
    if (bodySize == 0)
        return ContainerError::EmptyBody;
    if (bodySize % kAesBlockSize != 0)
        return ContainerError::PartialBlock;
    plainLength = readBigEndian32(header);
    if (plainLength > bodySize)
        return ContainerError::LengthBeyondBody;
    return ContainerError::None;
}

} // namespace

ContainerError checkContainerHeader(const uint8_t (&header)[kContainerHeaderSize], uint64_t fileSize,
                                    uint32_t& plainLength)
{
    return checkFraming(header, fileSize, plainLength);
}

ContainerError parseContainer(const uint8_t* data, size_t size, ContainerView& view)
{
    view = ContainerView();
    uint32_t plainLength = 0;
    const ContainerError error = checkFraming(data, size, plainLength);
    if (error != ContainerError::None)
        return error;
    view.plainLength = plainLength;
    view.body = data + kContainerHeaderSize;
    view.bodySize = size - kContainerHeaderSize;
    return ContainerError::None;
}

ContainerError decryptContainer(const uint8_t* data, size_t size, std::vector<uint8_t>& plain)
{
    plain.clear();
    ContainerView view;
    const ContainerError error = parseContainer(data, size, view);
    if (error != ContainerError::None)
        return error;
    // L never exceeds the body, so neither do the blocks that hold it.
    plain.resize(blocksFor(view.plainLength) * kAesBlockSize);
    decryptBody(view.body, plain.size(), plain.data());
    plain.resize(view.plainLength);
    return ContainerError::None;
}

ContainerError decryptContainerInPlace(std::vector<uint8_t>& file)
{
    ContainerView view;
    const ContainerError error = parseContainer(file.data(), file.size(), view);
    if (error != ContainerError::None)
        return error;
    uint8_t* body = file.data() + kContainerHeaderSize;
    decryptBody(body, blocksFor(view.plainLength) * kAesBlockSize, body);
    std::memmove(file.data(), body, view.plainLength);
    file.resize(view.plainLength);
    return ContainerError::None;
}
