#pragma once
// Switches every PC/SC card reader of the maker into serial mode, so that the
// port enumeration can find it. Reports only to the log.
#include <functional>
#include <string>
#include <vector>

void Pcsc_switchToCom();

// The same switch for a caller that tells the user what it did: each step
// goes to `log`, and the names of the readers switched (UTF-8) come back, in
// the order tried.
std::vector<std::string> switchMakersReaders(const std::function<void(const std::string&)>& log);
