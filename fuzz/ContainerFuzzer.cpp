// The encrypted file container as the readers meet it: any bytes as a
// package file or an hterm file. The two decryptions must agree, keep exactly
// the plain length and never touch a byte outside the file; the hterm reading
// must give a record only for a container whose record fits, and that record
// is the plain content.
#include "fuzz/FuzzCheck.h"
#include "config/Configuration.h"
#include "fuzz/FuzzSupport.h"
#include "crypto/Aes.h"
#include "crypto/Container.h"

#include <QFile>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

using fuzz::check;

void checkContainerReaders(const uint8_t* data, size_t size)
{
    ContainerView view;
    const ContainerError parsed = parseContainer(data, size, view);

    std::vector<uint8_t> plain{1, 2, 3};
    const ContainerError decrypted = decryptContainer(data, size, plain);
    check(decrypted == parsed, "decryptContainer judges as parseContainer");

    const std::vector<uint8_t> original(data, data + size);
    std::vector<uint8_t> inPlace = original;
    const ContainerError decryptedInPlace = decryptContainerInPlace(inPlace);
    check(decryptedInPlace == parsed, "decryptContainerInPlace judges as parseContainer");

    if (parsed != ContainerError::None) {
        check(plain.empty(), "a refused container gives no plain bytes");
        check(inPlace == original, "a refused container is left as it was");
        return;
    }
    check(view.plainLength <= view.bodySize && view.bodySize % 16 == 0 && view.bodySize + 4 == size,
          "view within the file");
    check(plain.size() == view.plainLength, "exactly L plain bytes");
    check(inPlace == plain, "both decryptions give the same bytes");
}

void checkHtermReading(const uint8_t* data, size_t size)
{
    // Read the way the configuration reads a named hterm file (only that of a
    // signed configuration is, so the file itself is what a fuzzer can reach).
    fuzz::writeScratchFile(QStringLiteral("input.hterm"), data, size);
    unsigned char record[HTerminal::kDataSize];
    std::fill(std::begin(record), std::end(record), 0xA5);
    const bool entry = readHardwareRecord(fuzz::scratchFolder() + QStringLiteral("input.hterm"), record).isEmpty();

    // The record: the first L plain bytes, or every decrypted byte when L
    // reaches past the body; an entry when it holds the hardware
    // identification (bytes 8 to 10) and fits an entry's 128 bytes.
    std::vector<uint8_t> plain;
    ContainerError framing = decryptContainer(data, size, plain);
    if (framing == ContainerError::LengthBeyondBody) {
        plain.resize(size - kContainerHeaderSize);
        aesDecrypt(data + kContainerHeaderSize, static_cast<uint32_t>(plain.size()), plain.data());
        framing = ContainerError::None;
    }
    const bool fits = framing == ContainerError::None && plain.size() >= 11 &&
                      plain.size() <= static_cast<size_t>(HTerminal::kDataSize);
    check(entry == fits, "an entry exactly for a record that fits");
    if (!fits)
        return;
    check(std::equal(plain.begin(), plain.end(), record), "the record is the plain content");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::installQuietLog();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    checkContainerReaders(data, size);
    checkHtermReading(data, size);
    return 0;
}
