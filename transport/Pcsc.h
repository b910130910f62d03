#pragma once
// Switches every PC/SC card reader of the maker into serial mode, so that the
// port enumeration can find it. Reports only to the log.
void Pcsc_switchToCom();
