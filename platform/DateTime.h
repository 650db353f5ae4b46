#pragma once
#include <chrono>
#include <string>

using TDateTime = std::chrono::system_clock::time_point;

inline TDateTime Now() {
  return std::chrono::system_clock::now();
}
// Local date and time as "YYYY-MM-DD hh:mm:ss", the same in every locale.
std::string DateTimeToStr(TDateTime aValue);
