#include "sim/ReceivedFiles.h"

#include "crypto/Container.h"

#include <dirent.h>
#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace {

// An exact match wins over one that differs in letter case only.
bool findContainer(const std::string& folder, const std::string& name, std::string& path)
{
    DIR* directory = opendir(folder.c_str());
    if (!directory)
        return false;
    std::string found;
    while (const dirent* entry = readdir(directory)) {
        if (name == entry->d_name) {
            found = entry->d_name;
            break;
        }
        if (found.empty() && strcasecmp(name.c_str(), entry->d_name) == 0)
            found = entry->d_name;
    }
    closedir(directory);
    if (found.empty())
        return false;
    path = folder + "/" + found;
    return true;
}

bool readWhole(const std::string& path, std::vector<uint8_t>& bytes)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

} // namespace

std::string storedFileName(const std::string& advertisedName)
{
    std::string name = advertisedName;
    std::replace(name.begin(), name.end(), '/', '_');
    std::replace(name.begin(), name.end(), '\0', '_');
    if (name.empty() || name == "." || name == "..")
        name = "_" + name;
    return name;
}

bool storeFile(const std::string& folder, const std::string& name, const std::vector<uint8_t>& content,
               std::string& error)
{
    // The folder is made on first use, so that a fresh one can be named.
    std::error_code made;
    std::filesystem::create_directories(folder, made);
    const std::string path = folder + "/" + storedFileName(name);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(content.data()), static_cast<std::streamsize>(content.size()));
    out.close();
    if (!out) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

bool matchesContainer(const std::string& folder, const std::string& name, const std::vector<uint8_t>& content,
                      std::string& mismatch)
{
    std::string path;
    if (!findContainer(folder, name, path)) {
        mismatch = name + ": no container of that name in " + folder;
        return false;
    }
    std::vector<uint8_t> file;
    if (!readWhole(path, file)) {
        mismatch = name + ": cannot read " + path;
        return false;
    }
    std::vector<uint8_t> plain;
    const ContainerError error = decryptContainer(file.data(), file.size(), plain);
    if (error != ContainerError::None) {
        mismatch = name + ": " + path + " is not a valid container (" + containerErrorText(error) + ")";
        return false;
    }
    if (plain == content)
        return true;
    const auto difference = std::mismatch(plain.begin(), plain.end(), content.begin(), content.end());
    mismatch = name + ": received " + std::to_string(content.size()) + " bytes, the package holds " +
               std::to_string(plain.size()) + "; first difference at byte " +
               std::to_string(difference.first - plain.begin());
    return false;
}
