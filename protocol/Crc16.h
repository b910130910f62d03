#pragma once
// The CRC-16 of every frame: CRC-16/KERMIT (polynomial 0x1021 reflected,
// initial value 0, no final XOR), sent low byte first.
#include <cstddef>
#include <cstdint>

// CRC-16 of `length` bytes.
uint16_t crc16(const uint8_t* data, size_t length);

// Stores the CRC of bytes 0..n-1 in bytes n (low) and n+1 (high).
// The buffer must hold n + 2 bytes.
void crc16Append(uint8_t* buf, uint16_t n);

// Compares bytes n and n+1 with the CRC of bytes 0..n-1. Like crc16Append
// it leaves the computed CRC in bytes n and n+1, also when they differed.
bool crc16Check(uint8_t* buf, uint16_t n);
