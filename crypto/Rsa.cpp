// The RSA module: raw public and private operations on 32-bit-digit big
// numbers, the private one by the Chinese remainder theorem, and the
// PKCS #1 v1.5 block types 1 and 2 around them.
#include "crypto/Rsa.h"

#include "crypto/BigNum.h"

#include <atomic>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <random>
#include <system_error>

namespace {

constexpr uint8_t kStateStopped = 0;
constexpr uint8_t kStateStarted = 2;

// Shared by every thread that uses the module; atomic so that concurrent
// start, end and operation calls never race on it.
std::atomic<uint8_t> moduleState{kStateStopped};

// PKCS #1 v1.5: 00, block type, at least 8 filling bytes, 00, data.
constexpr unsigned kMinFilling = 8;
constexpr unsigned kPaddingOverhead = 3 + kMinFilling;
constexpr uint8_t kBlockTypeSignature = 1;
constexpr uint8_t kBlockTypeEncryption = 2;

// A public record is the leading part of a private one, so the public fields
// are read at the same offsets whichever record is passed.
static_assert(offsetof(RsaPublicKey, bits) == offsetof(RsaPrivateKey, bits), "records must share their head");
static_assert(offsetof(RsaPublicKey, modulus) == offsetof(RsaPrivateKey, modulus), "records must share their head");
static_assert(offsetof(RsaPublicKey, exponent) == offsetof(RsaPrivateKey, publicExponent),
              "records must share their head");

struct PublicFields {
    uint16_t bits;
    const uint8_t* modulus;
    const uint8_t* exponent;
};

PublicFields publicFieldsOf(const void* record)
{
    const auto* bytes = static_cast<const uint8_t*>(record);
    PublicFields fields;
    std::memcpy(&fields.bits, bytes + offsetof(RsaPublicKey, bits), sizeof fields.bits);
    fields.modulus = bytes + offsetof(RsaPublicKey, modulus);
    fields.exponent = bytes + offsetof(RsaPublicKey, exponent);
    return fields;
}

// Bytes of a result for a key of `bits` bits; 0 when it does not fit a block.
unsigned resultBytes(uint16_t bits)
{
    const unsigned bytes = (unsigned(bits) + 7) / 8;
    return bytes <= kRsaMaxBytes ? bytes : 0;
}

// Wipes key material and intermediate values from the stack.
void wipe(void* p, size_t size)
{
    volatile uint8_t* bytes = static_cast<volatile uint8_t*>(p);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = 0;
}

// x < n, with x over xDigits and n over nDigits significant digits.
bool isBelow(const BnDigit* x, unsigned xDigits, const BnDigit* n, unsigned nDigits)
{
    if (xDigits != nDigits)
        return xDigits < nDigits;
    return bnCompare(x, n, nDigits) < 0;
}

int publicBlock(const PublicFields& key, uint8_t* output, uint32_t* outputLength, const uint8_t* input,
                uint32_t inputLength)
{
    const unsigned outBytes = resultBytes(key.bits);
    if (inputLength > kRsaMaxBytes || outBytes == 0)
        return kRsaLengthError;
    BigNum m, n, e, c;
    bnDecode(m, kBnMaxDigits, input, inputLength);
    bnDecode(n, kBnMaxDigits, key.modulus, kRsaMaxBytes);
    bnDecode(e, kBnMaxDigits, key.exponent, kRsaMaxBytes);
    const unsigned nDigits = bnDigits(n, kBnMaxDigits);
    if (!isBelow(m, bnDigits(m, kBnMaxDigits), n, nDigits))
        return kRsaDataError;
    bnModExp(c, m, e, bnDigits(e, kBnMaxDigits), n, nDigits);
    bnEncode(output, outBytes, c, nDigits);
    *outputLength = outBytes;
    return kRsaOk;
}

// The private numbers of a key, decoded once.
struct PrivateNumbers {
    BigNum n, p, q, dP, dQ, qInv;

    explicit PrivateNumbers(const RsaPrivateKey& key)
    {
        bnDecode(n, kBnMaxDigits, key.modulus, kRsaMaxBytes);
        bnDecode(p, kBnMaxDigits, key.prime1, kRsaPrimeBytes);
        bnDecode(q, kBnMaxDigits, key.prime2, kRsaPrimeBytes);
        bnDecode(dP, kBnMaxDigits, key.exponent1, kRsaPrimeBytes);
        bnDecode(dQ, kBnMaxDigits, key.exponent2, kRsaPrimeBytes);
        bnDecode(qInv, kBnMaxDigits, key.coefficient, kRsaPrimeBytes);
    }
    ~PrivateNumbers() { wipe(this, sizeof *this); }
    PrivateNumbers(const PrivateNumbers&) = delete;
    PrivateNumbers& operator=(const PrivateNumbers&) = delete;
};

// Garner's recombination: m = mQ + q * ((mP - mQ) * qInv mod p), over h
// digits for the primes and nDigits for the result.
void recombine(BnDigit* m, const BnDigit* mP, const BnDigit* mQ, const PrivateNumbers& key, unsigned h,
               unsigned nDigits)
{
    // mQ is below q; it can reach p only when q is the larger prime.
    BigNum mQModP = {};
    if (bnCompare(mQ, key.p, h) >= 0)
        bnMod(mQModP, mQ, h, key.p, h);
    else
        std::memcpy(mQModP, mQ, h * sizeof(BnDigit));

    BigNum t = {};
    if (bnCompare(mP, mQModP, h) >= 0) {
        bnSub(t, mP, mQModP, h);
    } else {
        bnSub(t, mQModP, mP, h);
        bnSub(t, key.p, t, h);
    }
    bnModMult(t, t, key.qInv, key.p, h);
    bnMult(t, t, key.q, h); // below p * q = n, so 2h digits hold it
    bnAdd(t, t, mQ, nDigits);
    std::memcpy(m, t, nDigits * sizeof(BnDigit));
    wipe(t, sizeof t);
    wipe(mQModP, sizeof mQModP);
}

int privateBlock(const RsaPrivateKey& record, uint8_t* output, uint32_t* outputLength, const uint8_t* input,
                 uint32_t inputLength)
{
    const unsigned outBytes = resultBytes(record.bits);
    if (inputLength > kRsaMaxBytes || outBytes == 0)
        return kRsaLengthError;
    const PrivateNumbers key(record);
    BigNum c;
    bnDecode(c, kBnMaxDigits, input, inputLength);
    const unsigned cDigits = bnDigits(c, kBnMaxDigits);
    const unsigned nDigits = bnDigits(key.n, kBnMaxDigits);
    if (!isBelow(c, cDigits, key.n, nDigits))
        return kRsaDataError;
    const unsigned pDigits = bnDigits(key.p, kBnMaxDigits);
    const unsigned qDigits = bnDigits(key.q, kBnMaxDigits);
    if (pDigits == 0 || qDigits == 0)
        return kRsaDataError;
    // Both primes are worked over the longer one's digits.
    const unsigned h = pDigits > qDigits ? pDigits : qDigits;

    BigNum cP, cQ, mP = {}, mQ = {};
    bnMod(cP, c, cDigits, key.p, h);
    bnMod(cQ, c, cDigits, key.q, h);
    bnModExp(mP, cP, key.dP, h, key.p, h);
    bnModExp(mQ, cQ, key.dQ, h, key.q, h);

    BigNum m = {};
    recombine(m, mP, mQ, key, h, nDigits);
    bnEncode(output, outBytes, m, nDigits);
    *outputLength = outBytes;

    wipe(cP, sizeof cP);
    wipe(cQ, sizeof cQ);
    wipe(mP, sizeof mP);
    wipe(mQ, sizeof mQ);
    wipe(m, sizeof m);
    return kRsaOk;
}

// Non-zero random bytes for the type 2 filling: the system's random device,
// then /dev/urandom if the device is not available.
bool randomNonZeroBytes(uint8_t* out, size_t count)
{
    size_t filled = 0;
    try {
        std::random_device device;
        while (filled < count) {
            const auto value = device();
            for (unsigned shift = 0; shift < 32 && filled < count; shift += 8) {
                const auto byte = static_cast<uint8_t>(value >> shift);
                if (byte != 0)
                    out[filled++] = byte;
            }
        }
        return true;
    } catch (const std::exception&) {
        // fall through to the file
    }
    std::FILE* file = std::fopen("/dev/urandom", "rb");
    if (!file)
        return false;
    while (filled < count) {
        uint8_t byte = 0;
        if (std::fread(&byte, 1, 1, file) != 1)
            break;
        if (byte != 0)
            out[filled++] = byte;
    }
    std::fclose(file);
    return filled == count;
}

// Builds the k-byte block 00 type filling 00 data.
int pad(uint8_t* block, unsigned k, uint8_t type, const uint8_t* data, uint32_t length)
{
    if (k < kPaddingOverhead || length > k - kPaddingOverhead)
        return kRsaLengthError;
    const unsigned filling = k - 3 - length;
    block[0] = 0;
    block[1] = type;
    if (type == kBlockTypeSignature)
        std::memset(block + 2, 0xFF, filling);
    else if (!randomNonZeroBytes(block + 2, filling))
        return kRsaRandomError;
    block[2 + filling] = 0;
    if (length)
        std::memcpy(block + 3 + filling, data, length);
    return kRsaOk;
}

// Finds the data of a k-byte block of the given type; writes nothing on a bad block.
int unpad(const uint8_t* block, unsigned k, uint8_t type, uint8_t* output, uint32_t* outputLength)
{
    if (k < kPaddingOverhead || block[0] != 0 || block[1] != type)
        return kRsaDataError;
    unsigned i = 2;
    if (type == kBlockTypeSignature) {
        while (i < k && block[i] == 0xFF)
            ++i;
    } else {
        while (i < k && block[i] != 0)
            ++i;
    }
    if (i == k || block[i] != 0 || i - 2 < kMinFilling)
        return kRsaDataError;
    ++i;
    const unsigned length = k - i;
    if (length)
        std::memcpy(output, block + i, length);
    *outputLength = length;
    return kRsaOk;
}

using RawOperation = int (*)(const void* key, uint8_t* output, uint32_t* outputLength, const uint8_t* input,
                             uint32_t inputLength);

int rawPublic(const void* key, uint8_t* output, uint32_t* outputLength, const uint8_t* input, uint32_t inputLength)
{
    return publicBlock(publicFieldsOf(key), output, outputLength, input, inputLength);
}

int rawPrivate(const void* key, uint8_t* output, uint32_t* outputLength, const uint8_t* input, uint32_t inputLength)
{
    return privateBlock(*static_cast<const RsaPrivateKey*>(key), output, outputLength, input, inputLength);
}

int padThenRun(RawOperation raw, uint8_t type, RsaData& data, const void* key)
{
    const unsigned k = resultBytes(publicFieldsOf(key).bits);
    uint8_t block[kRsaMaxBytes];
    int status = pad(block, k, type, data.input, data.inputLength);
    if (status == kRsaOk)
        status = raw(key, data.output, &data.outputLength, block, k);
    wipe(block, sizeof block);
    return status;
}

int runThenUnpad(RawOperation raw, uint8_t type, RsaData& data, const void* key)
{
    const unsigned k = resultBytes(publicFieldsOf(key).bits);
    if (data.inputLength != k)
        return kRsaLengthError;
    uint8_t block[kRsaMaxBytes];
    uint32_t blockLength = 0;
    int status = raw(key, block, &blockLength, data.input, data.inputLength);
    if (status == kRsaOk)
        status = unpad(block, blockLength, type, data.output, &data.outputLength);
    wipe(block, sizeof block);
    return status;
}

} // namespace

int cryptoStart(uint8_t mode)
{
    if (mode != kCryptoMode)
        return kRsaBadCall;
    moduleState.store(kStateStarted);
    return 0;
}

int cryptoEnd()
{
    uint8_t state = kStateStarted;
    if (moduleState.compare_exchange_strong(state, kStateStopped) || state == kStateStopped)
        return 0;
    return kRsaBadCall;
}

int rsaOperation(uint8_t operation, uint8_t keyKind, RsaData* data, const void* key)
{
    if (moduleState.load() != kStateStarted)
        return kRsaNotStarted;
    if (!data || !key)
        return kRsaBadCall;
    const bool isPublic = keyKind == kRsaKeyPublic;
    if (!isPublic && keyKind != kRsaKeyPrivate)
        return kRsaBadCall;
    const RawOperation raw = isPublic ? rawPublic : rawPrivate;
    switch (operation) {
    case kRsaOpRaw: return raw(key, data->output, &data->outputLength, data->input, data->inputLength);
    case kRsaOpPad:
        // Private key: signature block; public key: encryption block.
        return padThenRun(raw, isPublic ? kBlockTypeEncryption : kBlockTypeSignature, *data, key);
    case kRsaOpUnpad:
        // Public key: checks a signature block; private key: opens an encryption block.
        return runThenUnpad(raw, isPublic ? kBlockTypeSignature : kBlockTypeEncryption, *data, key);
    default: return kRsaBadCall;
    }
}

int rsaPrivateBlock(uint8_t* output, uint32_t* outputLength, const uint8_t* input, uint32_t inputLength,
                    const RsaPrivateKey* key)
{
    return privateBlock(*key, output, outputLength, input, inputLength);
}

int rsaPublicBlock(uint8_t* output, uint32_t* outputLength, const uint8_t* input, uint32_t inputLength,
                   const RsaPublicKey* key)
{
    return publicBlock(publicFieldsOf(key), output, outputLength, input, inputLength);
}
