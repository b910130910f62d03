#pragma once
// Switches every PC/SC card reader of the maker into serial mode, so that the
// port enumeration can find it. Reports only to the log.
#include <string>
#include <vector>

void Pcsc_switchToCom();

// The same switch for a caller that tells the user what it did: the names
// of the readers switched (UTF-8), in the order tried.
std::vector<std::string> switchMakersReaders();
