#pragma once
// What handlers and scripted peers saw, in order, written by any thread and read by the test.
#include <mutex>
#include <vector>

template <class T>
class TRecorder {
 public:
  void Add(T AItem) {
    std::lock_guard<std::mutex> LGuard(FLock);
    FItems.push_back(std::move(AItem));
  }
  std::vector<T> Get() const {
    std::lock_guard<std::mutex> LGuard(FLock);
    return FItems;
  }
  size_t Count() const {
    std::lock_guard<std::mutex> LGuard(FLock);
    return FItems.size();
  }
  void Clear() {
    std::lock_guard<std::mutex> LGuard(FLock);
    FItems.clear();
  }

 private:
  mutable std::mutex FLock;
  std::vector<T> FItems;
};
