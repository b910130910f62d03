#pragma once
// What the simulated terminal does with a file it received: store it under
// its advertised name and compare it with the package it came from.
#include <cstdint>
#include <string>
#include <vector>

// The advertised name as a file name in one folder: path separators and
// zero bytes become "_", and "." or ".." get a leading "_".
std::string storedFileName(const std::string& advertisedName);

// Writes the content to folder/name. False with a reason on failure.
bool storeFile(const std::string& folder, const std::string& name, const std::vector<uint8_t>& content,
               std::string& error);

// Compares the content with the plain content of the encrypted container
// in `folder` whose name equals `name` ignoring letter case. False with a
// description of the mismatch when they differ or no such container exists.
bool matchesContainer(const std::string& folder, const std::string& name, const std::vector<uint8_t>& content,
                      std::string& mismatch);
