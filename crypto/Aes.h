#pragma once
// AES-128 decryption (FIPS-197 InvCipher) in electronic-codebook mode.
#include <cstdint>

// The one key of the program's encrypted files.
extern const uint8_t FILE_KEY[16];

// Decrypts the whole 16-byte blocks of `input` with FILE_KEY into `output`
// at the same offsets. A trailing partial block is neither read nor written;
// readers refuse such files before they get here. `output` must hold
// `length` bytes and may be the same buffer as `input`.
void aesDecrypt(const uint8_t* input, uint32_t length, uint8_t* output);

// The same with any 128-bit key (tests, authoring tools).
void aesDecryptWithKey(const uint8_t key[16], const uint8_t* input, uint32_t length, uint8_t* output);
