#pragma once
// Where eSpeak NG's data is, for espeak_Initialize.
#include <string>

// Sets PATH to the data directory to hand to the library, or to "" for the
// library's own default; returns 0, or 1 when the data cannot be found.
int find_data_path(std::string& path);
