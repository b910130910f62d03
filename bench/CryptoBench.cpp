// Start-up and cryptography of Mirdal beside the same work done with OpenSSL.
//
// Each pair computes the same result from the same input, and checks once
// before timing that both sides agree, so that a ratio never compares a
// broken routine with a working one.
//
// - Startup: Configuration::load and checkSignature of a configuration folder
//   (the sample one built beside the programs by default, MIRDAL_BENCH_CONFIG
//   to change it), against reading configuration.xml, SHA-256 of its signed
//   part and RSA-2048 verification of its signature with EVP.
// - RsaPrivate: the raw RSA-2048 private operation (CRT) of the signing tool
//   against OpenSSL's raw private operation (no padding).
// - RsaPublic: the raw public operation that the signature check does.
// - AesEcbDecrypt: AES-128-ECB decryption of a package body. OpenSSL picks
//   its implementation when it starts: run the program with
//   OPENSSL_ia32cap="~0x200000200000000" to keep it off AES-NI.
#include "config/Configuration.h"
#include "config/Signature.h"
#include "crypto/Aes.h"
#include "keytools/OpenSslPtr.h"
#include "keytools/PemKey.h"
#include "crypto/Rsa.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <benchmark/benchmark.h>
#include <openssl/crypto.h>
#include <openssl/decoder.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr size_t kRsaBytes = 256;
constexpr int kDigestBytes = 32;

std::string configurationFolder()
{
    const char* folder = std::getenv("MIRDAL_BENCH_CONFIG");
    std::string path = folder && *folder ? folder : MIRDAL_SAMPLE_CONFIGURATION;
    if (path.back() != '/')
        path += '/';
    return path;
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The development key, once for both sides: its record for Mirdal, an
// EVP_PKEY for OpenSSL.
struct Keys {
    RsaPrivateKey record{};
    PkeyPtr pkey;
    std::string error;
};

const Keys& keys()
{
    static const Keys loaded = [] {
        Keys k;
        PemKey pem;
        if (!readPemKey(MIRDAL_DEV_KEY, pem, k.error) || !pem.hasPrivate) {
            k.error = "cannot read " MIRDAL_DEV_KEY ": " + k.error;
            return k;
        }
        k.record = pem.key;
        const std::string text = readFile(MIRDAL_DEV_KEY);
        EVP_PKEY* raw = nullptr;
        DecoderCtxPtr decoder(
            OSSL_DECODER_CTX_new_for_pkey(&raw, "PEM", nullptr, "RSA", EVP_PKEY_KEYPAIR, nullptr, nullptr));
        const auto* data = reinterpret_cast<const unsigned char*>(text.data());
        size_t length = text.size();
        if (!decoder || !OSSL_DECODER_from_data(decoder.get(), &data, &length))
            k.error = "OpenSSL cannot decode " MIRDAL_DEV_KEY;
        k.pkey.reset(raw);
        return k;
    }();
    return loaded;
}

// A value below the modulus: a signature block as the signing tool builds it.
std::vector<uint8_t> rsaInput()
{
    std::vector<uint8_t> block(kRsaBytes, 0xFF);
    block[0] = 0x00;
    block[1] = 0x01;
    block[kRsaBytes - kDigestBytes - 1] = 0x00;
    for (int i = 0; i < kDigestBytes; ++i)
        block[kRsaBytes - kDigestBytes + static_cast<size_t>(i)] = static_cast<uint8_t>(i * 37 + 11);
    return block;
}

// --- Start-up: load and verify the configuration ---------------------------

bool mirdalLoadAndVerify(const std::string& folder)
{
    Configuration configuration;
    configuration.setDirectory(QString::fromStdString(folder));
    return configuration.load() && configuration.checkSignature();
}

// The same check with OpenSSL: the signed part is every byte before the last
// "<signature>", the signature the Base64 text up to "</signature"; the block
// is PKCS #1 type 1 around the bare SHA-256 digest, which is what EVP
// verifies when no digest algorithm is set on the context.
bool opensslLoadAndVerify(const std::string& path, EVP_PKEY* key)
{
    const std::string file = readFile(path);
    const size_t start = file.rfind("<signature>");
    const size_t end = file.rfind("</signature");
    if (start == std::string::npos || end == std::string::npos || end < start)
        return false;
    const size_t textStart = start + std::strlen("<signature>");
    unsigned char signature[kRsaBytes + 3];
    const int decoded = EVP_DecodeBlock(signature, reinterpret_cast<const unsigned char*>(file.data() + textStart),
                                        static_cast<int>(end - textStart));
    if (decoded < static_cast<int>(kRsaBytes))
        return false;

    unsigned char digest[kDigestBytes];
    unsigned int digestLength = 0;
    if (!EVP_Digest(file.data(), start, digest, &digestLength, EVP_sha256(), nullptr))
        return false;

    PkeyCtxPtr ctx(EVP_PKEY_CTX_new(key, nullptr));
    return ctx && EVP_PKEY_verify_init(ctx.get()) == 1 &&
           EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) == 1 &&
           EVP_PKEY_verify(ctx.get(), signature, kRsaBytes, digest, digestLength) == 1;
}

void Startup_Mirdal(benchmark::State& state)
{
    const std::string folder = configurationFolder();
    if (!mirdalLoadAndVerify(folder)) {
        state.SkipWithError(("the configuration in " + folder + " does not load and verify").c_str());
        return;
    }
    for (auto _ : state)
        benchmark::DoNotOptimize(mirdalLoadAndVerify(folder));
}
BENCHMARK(Startup_Mirdal);

void Startup_OpenSSL(benchmark::State& state)
{
    const std::string path = configurationFolder() + "configuration.xml";
    const Keys& k = keys();
    if (!k.error.empty()) {
        state.SkipWithError(k.error.c_str());
        return;
    }
    if (!opensslLoadAndVerify(path, k.pkey.get())) {
        state.SkipWithError(("OpenSSL does not verify " + path).c_str());
        return;
    }
    for (auto _ : state)
        benchmark::DoNotOptimize(opensslLoadAndVerify(path, k.pkey.get()));
}
BENCHMARK(Startup_OpenSSL);

// The two halves of Mirdal's start-up on their own, to see where it goes.
void StartupLoadOnly_Mirdal(benchmark::State& state)
{
    const QString folder = QString::fromStdString(configurationFolder());
    for (auto _ : state) {
        Configuration configuration;
        configuration.setDirectory(folder);
        benchmark::DoNotOptimize(configuration.load());
    }
}
BENCHMARK(StartupLoadOnly_Mirdal);

void StartupSignatureOnly_Mirdal(benchmark::State& state)
{
    Configuration configuration;
    configuration.setDirectory(QString::fromStdString(configurationFolder()));
    if (!configuration.load()) {
        state.SkipWithError("the configuration does not load");
        return;
    }
    for (auto _ : state)
        benchmark::DoNotOptimize(configuration.checkSignature());
}
BENCHMARK(StartupSignatureOnly_Mirdal);

// --- RSA-2048 raw operations ------------------------------------------------

bool opensslRaw(EVP_PKEY_CTX* ctx, bool isPrivate, const std::vector<uint8_t>& in, std::vector<uint8_t>& out)
{
    size_t length = out.size();
    return (isPrivate ? EVP_PKEY_decrypt(ctx, out.data(), &length, in.data(), in.size())
                      : EVP_PKEY_encrypt(ctx, out.data(), &length, in.data(), in.size())) == 1 &&
           length == kRsaBytes;
}

PkeyCtxPtr opensslRawContext(EVP_PKEY* key, bool isPrivate)
{
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new(key, nullptr));
    if (!ctx || (isPrivate ? EVP_PKEY_decrypt_init(ctx.get()) : EVP_PKEY_encrypt_init(ctx.get())) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_NO_PADDING) != 1)
        return nullptr;
    return ctx;
}

int mirdalRaw(bool isPrivate, const std::vector<uint8_t>& in, std::vector<uint8_t>& out)
{
    static const RsaPublicKey publicKey = publicHalf(keys().record);
    uint32_t length = 0;
    return isPrivate ? rsaPrivateBlock(out.data(), &length, in.data(), kRsaBytes, &keys().record)
                     : rsaPublicBlock(out.data(), &length, in.data(), kRsaBytes, &publicKey);
}

// Checks that Mirdal and OpenSSL give the same result for `in`.
bool rawAgrees(bool isPrivate, const std::vector<uint8_t>& in)
{
    std::vector<uint8_t> mine(kRsaBytes);
    std::vector<uint8_t> theirs(kRsaBytes);
    PkeyCtxPtr ctx = opensslRawContext(keys().pkey.get(), isPrivate);
    return keys().error.empty() && ctx && mirdalRaw(isPrivate, in, mine) == kRsaOk &&
           opensslRaw(ctx.get(), isPrivate, in, theirs) && mine == theirs;
}

void rsaMirdal(benchmark::State& state, bool isPrivate)
{
    const std::vector<uint8_t> in = rsaInput();
    if (!rawAgrees(isPrivate, in)) {
        state.SkipWithError(("Mirdal and OpenSSL disagree: " + keys().error).c_str());
        return;
    }
    std::vector<uint8_t> out(kRsaBytes);
    for (auto _ : state)
        benchmark::DoNotOptimize(mirdalRaw(isPrivate, in, out));
}

void rsaOpenssl(benchmark::State& state, bool isPrivate)
{
    const std::vector<uint8_t> in = rsaInput();
    if (!rawAgrees(isPrivate, in)) {
        state.SkipWithError(("Mirdal and OpenSSL disagree: " + keys().error).c_str());
        return;
    }
    PkeyCtxPtr ctx = opensslRawContext(keys().pkey.get(), isPrivate);
    std::vector<uint8_t> out(kRsaBytes);
    for (auto _ : state)
        benchmark::DoNotOptimize(opensslRaw(ctx.get(), isPrivate, in, out));
}

void RsaPrivate_Mirdal(benchmark::State& state)
{
    rsaMirdal(state, true);
}
void RsaPrivate_OpenSSL(benchmark::State& state)
{
    rsaOpenssl(state, true);
}
void RsaPublic_Mirdal(benchmark::State& state)
{
    rsaMirdal(state, false);
}
void RsaPublic_OpenSSL(benchmark::State& state)
{
    rsaOpenssl(state, false);
}
BENCHMARK(RsaPrivate_Mirdal)->Unit(benchmark::kMicrosecond);
BENCHMARK(RsaPrivate_OpenSSL)->Unit(benchmark::kMicrosecond);
BENCHMARK(RsaPublic_Mirdal);
BENCHMARK(RsaPublic_OpenSSL);

// --- AES-128-ECB decryption -------------------------------------------------

std::vector<uint8_t> aesInput(size_t size)
{
    std::vector<uint8_t> data(size);
    uint32_t x = 0x12345678;
    for (uint8_t& byte : data) {
        x = x * 1664525u + 1013904223u;
        byte = static_cast<uint8_t>(x >> 24);
    }
    return data;
}

bool opensslAes(EVP_CIPHER_CTX* ctx, const std::vector<uint8_t>& in, std::vector<uint8_t>& out)
{
    int length = 0;
    return EVP_DecryptUpdate(ctx, out.data(), &length, in.data(), static_cast<int>(in.size())) == 1 &&
           length == static_cast<int>(in.size());
}

CipherCtxPtr opensslAesContext()
{
    CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
    if (!ctx || EVP_DecryptInit_ex(ctx.get(), EVP_aes_128_ecb(), nullptr, FILE_KEY, nullptr) != 1 ||
        EVP_CIPHER_CTX_set_padding(ctx.get(), 0) != 1)
        return nullptr;
    return ctx;
}

bool aesAgrees(const std::vector<uint8_t>& in)
{
    std::vector<uint8_t> mine(in.size());
    std::vector<uint8_t> theirs(in.size());
    CipherCtxPtr ctx = opensslAesContext();
    aesDecrypt(in.data(), static_cast<uint32_t>(in.size()), mine.data());
    return ctx && opensslAes(ctx.get(), in, theirs) && mine == theirs;
}

void AesEcbDecrypt_Mirdal(benchmark::State& state)
{
    const std::vector<uint8_t> in = aesInput(static_cast<size_t>(state.range(0)));
    if (!aesAgrees(in)) {
        state.SkipWithError("Mirdal and OpenSSL disagree");
        return;
    }
    std::vector<uint8_t> out(in.size());
    for (auto _ : state) {
        aesDecrypt(in.data(), static_cast<uint32_t>(in.size()), out.data());
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void AesEcbDecrypt_OpenSSL(benchmark::State& state)
{
    const std::vector<uint8_t> in = aesInput(static_cast<size_t>(state.range(0)));
    CipherCtxPtr ctx = opensslAesContext();
    if (!ctx || !aesAgrees(in)) {
        state.SkipWithError("Mirdal and OpenSSL disagree");
        return;
    }
    std::vector<uint8_t> out(in.size());
    for (auto _ : state)
        benchmark::DoNotOptimize(opensslAes(ctx.get(), in, out));
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(AesEcbDecrypt_Mirdal)->Arg(64 << 10)->Arg(1 << 20);
BENCHMARK(AesEcbDecrypt_OpenSSL)->Arg(64 << 10)->Arg(1 << 20);

// The configuration reader logs at information level; thousands of
// iterations must not fill the output.
void dropMessages(QtMsgType, const QMessageLogContext&, const QString&) {}

} // namespace

int main(int argc, char** argv)
{
    qInstallMessageHandler(dropMessages);
    QCoreApplication application(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    const char* capabilities = std::getenv("OPENSSL_ia32cap");
    benchmark::AddCustomContext("openssl", OpenSSL_version(OPENSSL_VERSION));
    benchmark::AddCustomContext("OPENSSL_ia32cap", capabilities ? capabilities : "(unset: AES-NI allowed)");
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
