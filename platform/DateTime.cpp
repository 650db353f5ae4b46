#include "platform/DateTime.h"

#include <ctime>

std::string DateTimeToStr(TDateTime aValue) {
  const std::time_t LTime = std::chrono::system_clock::to_time_t(aValue);
  std::tm LLocal{};
  localtime_r(&LTime, &LLocal);
  char LText[32];
  const size_t n = std::strftime(LText, sizeof LText, "%Y-%m-%d %H:%M:%S", &LLocal);
  return std::string(LText, n);
}
