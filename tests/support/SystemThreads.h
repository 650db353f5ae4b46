#pragma once
// The process's threads as the system sees them: every thread, the toolkit's and the
// runtime's included, whether or not a thread object of this project stands behind it.
#include <dirent.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

// Their ids, ascending.
inline std::vector<int> SystemThreadIds() {
  std::vector<int> LIds;
  if (DIR* LDir = opendir("/proc/self/task")) {
    while (dirent* LEntry = readdir(LDir))
      if (LEntry->d_name[0] != '.') LIds.push_back(std::atoi(LEntry->d_name));
    closedir(LDir);
  }
  std::sort(LIds.begin(), LIds.end());
  return LIds;
}

// The scheduler's state letter of thread aId: 'R' running or runnable, 'S' blocked in a wait
// (a lock, a condition, a sleep), '?' when there is no such thread.
inline char SystemThreadState(int aId) {
  std::ifstream LFile("/proc/self/task/" + std::to_string(aId) + "/stat");
  const std::string LStat((std::istreambuf_iterator<char>(LFile)),
                          std::istreambuf_iterator<char>());
  // "id (name) state ...": the name may hold spaces and parentheses itself.
  const size_t LEnd = LStat.rfind(')');
  return LEnd == std::string::npos || LEnd + 2 >= LStat.size() ? '?' : LStat[LEnd + 2];
}

// The name of thread aId as the system shows it (at most 15 bytes), empty when there is none.
inline std::string SystemThreadName(int aId) {
  std::ifstream LFile("/proc/self/task/" + std::to_string(aId) + "/comm");
  std::string LName;
  std::getline(LFile, LName);
  return LName;
}
