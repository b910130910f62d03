#pragma once
// The crypto layer checked against known answers, OpenSSL's stored in
// openssl_results.inc or its own; free of Qt and OpenSSL for the Windows build.
#include "crypto/Aes.h"
#include "crypto/BigNum.h"
#include "crypto/Rsa.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;
using Digits = std::vector<BnDigit>; // least significant first
// A question and its answers, in hexadecimal, most significant first:
//   "aes", key, cipher, -, plain (decrypted in place);
//   "rsa", n:e:d:p:q:dp:dq:qinv, input, -, input^d mod n (by CRT), input^e mod n;
//   "add" a + b (the carry as a last digit), "mult" a * b, "div" a / b and a mod b,
//   "modmult" a * b mod c, "modexp" a ^ b mod c; 8 characters a digit, and every
//   result has one digit more that must stay untouched.
using Question = std::array<std::string, 6>;
constexpr BnDigit kCanary = 0xC0FFEE11;

template <typename T>
std::vector<T> operator+(std::vector<T> head, const std::vector<T>& tail)
{
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

inline Bytes hex(const std::string& text)
{
    Bytes out;
    for (size_t i = 0; i + 1 < text.size(); i += 2)
        out.push_back(uint8_t(std::stoi(text.substr(i, 2), nullptr, 16)));
    return out;
}

inline const Bytes kFileKey = hex("5be10c9742d83a6f19c472ae08f365bd");

inline Digits digits(const std::string& text)
{
    Digits out(text.size() / 8 + 1, kCanary);
    for (size_t i = 0; i + 1 < out.size(); ++i)
        out[i] = BnDigit(std::stoul(text.substr(text.size() - 8 * (i + 1), 8), nullptr, 16));
    return out;
}

inline void checkBn(const Question& q)
{
    const Digits x = digits(q[1]), y = digits(q[2]), m = digits(q[3]), expected = digits(q[4]), rest = digits(q[5]);
    const unsigned nx = unsigned(x.size() - 1), ny = unsigned(y.size() - 1), nm = unsigned(m.size() - 1);
    Digits out(expected.size(), kCanary), remainder(rest.size(), kCanary);
    if (q[0] == "add")
        out[nx] = bnAdd(out.data(), x.data(), y.data(), nx);
    else if (q[0] == "mult")
        bnMult(out.data(), x.data(), y.data(), nx);
    else if (q[0] == "div") {
        bnDiv(out.data(), remainder.data(), x.data(), nx, y.data(), ny);
        bnDiv(out.data(), remainder.data(), x.data(), nx, Digits(ny, 0).data(), ny); // by zero: writes nothing
    } else if (q[0] == "modmult")
        bnModMult(out.data(), x.data(), y.data(), m.data(), nm);
    else
        bnModExp(out.data(), x.data(), y.data(), ny, m.data(), nm);
    EXPECT_EQ(out, expected) << q[0] << " of " << nx << ", " << ny << ", " << nm << " digits";
    EXPECT_EQ(remainder, rest) << "remainder";
}

// A key record from n:e:d:p:q:dp:dq:qinv.
inline RsaPrivateKey rsaRecord(const std::string& numbers)
{
    RsaPrivateKey key{};
    key.bits = uint16_t(4 * numbers.find(':'));
    uint8_t* const fields[] = {key.modulus, key.publicExponent, key.privateExponent, key.prime1,
                               key.prime2,  key.exponent1,      key.exponent2,       key.coefficient};
    for (size_t i = 0, start = 0; i < 8; ++i, start = numbers.find(':', start) + 1) {
        const Bytes value = hex(numbers.substr(start, numbers.find(':', start) - start));
        std::memcpy(fields[i] + (i < 3 ? 256 : 128) - value.size(), value.data(), value.size());
    }
    return key;
}

inline void checkRsa(const Question& q)
{
    const RsaPrivateKey key = rsaRecord(q[1]);
    const auto* pub = reinterpret_cast<const RsaPublicKey*>(&key); // the record starts with the public layout
    const Bytes input = hex(q[2]);
    for (const bool isPrivate : {true, false}) {
        Bytes out(257, 0xA5);
        uint32_t length = 0;
        EXPECT_EQ(isPrivate ? rsaPrivateBlock(out.data(), &length, input.data(), uint32_t(input.size()), &key)
                            : rsaPublicBlock(out.data(), &length, input.data(), uint32_t(input.size()), pub),
                  0);
        EXPECT_EQ(length, key.bits / 8u);
        EXPECT_EQ(out, hex(q[isPrivate ? 4 : 5]) + Bytes(257 - key.bits / 8u, 0xA5))
            << (isPrivate ? "private, " : "public, ") << key.bits << "-bit key " << q[1] << ", input " << q[2];
    }
}

inline void check(const Question& q)
{
    if (q[0] == "rsa")
        return checkRsa(q);
    if (q[0] != "aes")
        return checkBn(q);
    const Bytes key = hex(q[1]);
    Bytes out = hex(q[2]);
    aesDecryptWithKey(key.data(), out.data(), uint32_t(out.size()), out.data());
    EXPECT_EQ(out, hex(q[4])) << "key " << q[1] << ", cipher " << q[2];
}
