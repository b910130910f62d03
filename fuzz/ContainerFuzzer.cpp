// The encrypted file container as the readers meet it: any bytes as a
// package file or an hterm file. The two decryptions must agree, keep exactly
// the plain length and never touch a byte outside the file; the hterm reading
// must add an entry only for a container whose record fits.
#include "fuzz/FuzzCheck.h"
#include "config/Configuration.h"
#include "fuzz/FuzzSupport.h"
#include "crypto/Container.h"

#include <QFile>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

using fuzz::check;

const char kConfiguration[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                              "<configuration>\n"
                              "  <hterm>input.hterm</hterm>\n"
                              "</configuration>\n";

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
    fuzz::writeScratchFile(QStringLiteral("input.hterm"), data, size);
    Configuration configuration;
    configuration.setDirectory(fuzz::scratchFolder());
    check(configuration.load(), "the fixed configuration loads");

    std::vector<uint8_t> plain;
    const bool fits = decryptContainer(data, size, plain) == ContainerError::None &&
                      plain.size() <= static_cast<size_t>(HTerminal::kDataSize);
    check(configuration.hterminals().size() == (fits ? 1 : 0), "an entry exactly for a record that fits");
    if (!fits)
        return;
    const unsigned char* record = configuration.hterminals().first()->data;
    check(std::equal(plain.begin(), plain.end(), record), "the record is the plain content");
    check(std::all_of(record + plain.size(), record + HTerminal::kDataSize, [](unsigned char b) { return b == 0; }),
          "the rest of the record is zero");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::installQuietLog();
    fuzz::writeScratchFile(QStringLiteral("configuration.xml"), reinterpret_cast<const uint8_t*>(kConfiguration),
                           sizeof(kConfiguration) - 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    checkContainerReaders(data, size);
    checkHtermReading(data, size);
    return 0;
}
