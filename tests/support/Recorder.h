#pragma once
// What handlers and scripted peers saw, in order, written by any thread and read by the test.
#include <mutex>
#include <string>
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

// The tokens that a log makes of events from several threads, in order. A descendant adds them
// under FLock, which guards its own state as well.
class TTokenLog {
 public:
  std::vector<std::string> Tokens() const {
    std::lock_guard<std::mutex> LGuard(FLock);
    return FTokens;
  }
  size_t Count() const { return Tokens().size(); }
  std::string Last() const {
    const auto LTokens = Tokens();
    return LTokens.empty() ? std::string() : LTokens.back();
  }

 protected:
  mutable std::mutex FLock;
  std::vector<std::string> FTokens;
};
