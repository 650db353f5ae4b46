#include "base/qorWebSocket_Classes_SyncObjs.h"

#include <algorithm>

#include "platform/Exception.h"

void TqorCriticalSection::Acquire() noexcept {
  try {
    FSection.lock();
  } catch (...) {
    // A failing OS lock call must not take the caller down.
  }
}

void TqorCriticalSection::Release() noexcept {
  FSection.unlock();
}

bool TqorCriticalSection::TryAcquire() noexcept {
  return FSection.try_lock();
}

TqorThreadList::TqorThreadList() = default;

TqorThreadList::~TqorThreadList() {
  // Waits for an operation still running on another thread.
  std::lock_guard<TqorCriticalSection> g(FLock);
  FList.clear();
}

TDuplicates TqorThreadList::Duplicates() const {
  std::lock_guard<TqorCriticalSection> g(FLock);
  return FDuplicates;
}

void TqorThreadList::SetDuplicates(TDuplicates aValue) {
  std::lock_guard<TqorCriticalSection> g(FLock);
  FDuplicates = aValue;
}

void TqorThreadList::SetListType(TqorThreadListType) {}

void TqorThreadList::Add(void* Item) {
  std::lock_guard<TqorCriticalSection> g(FLock);
  if (FDuplicates == dupAccept || std::find(FList.begin(), FList.end(), Item) == FList.end())
    FList.push_back(Item);
  else if (FDuplicates == dupError)
    ListDuplicateError(Item);
}

void TqorThreadList::AddKey(void* Item, const std::string&) {
  Add(Item);
}

void TqorThreadList::Clear() {
  std::lock_guard<TqorCriticalSection> g(FLock);
  FList.clear();
}

void TqorThreadList::Delete(int Index) {
  std::lock_guard<TqorCriticalSection> g(FLock);
  if (Index < 0 || Index >= static_cast<int>(FList.size())) ListIndexError(Index);
  FList.erase(FList.begin() + Index);
}

void TqorThreadList::DeleteKey(int Index, const std::string&) {
  Delete(Index);
}

void* TqorThreadList::GetValue(const std::string&) {
  return nullptr;
}

bool TqorThreadList::IsEmpty() const {
  // Locked, unlike a bare read: another thread may be resizing the list.
  std::lock_guard<TqorCriticalSection> g(FLock);
  return FList.empty();
}

TqorPointerList& TqorThreadList::LockList() {
  FLock.Acquire();
  return FList;
}

void TqorThreadList::UnlockList() {
  FLock.Release();
}

void TqorThreadList::Remove(void* Item) {
  RemoveItem(Item, FromBeginning);
}

void TqorThreadList::RemoveItem(void* Item, TDirection Direction) {
  std::lock_guard<TqorCriticalSection> g(FLock);
  if (Direction == FromBeginning) {
    auto it = std::find(FList.begin(), FList.end(), Item);
    if (it != FList.end()) FList.erase(it);
  } else {
    auto it = std::find(FList.rbegin(), FList.rend(), Item);
    if (it != FList.rend()) FList.erase(std::next(it).base());
  }
}

void AppendBytesTo(const TBytes& aSource, TBytes& aDest) {
  const size_t n = aSource.size();
  const size_t old = aDest.size();
  aDest.resize(old + n);
  // Indexes, not iterators: when aSource is aDest the resize has moved it.
  std::copy_n(aSource.data(), n, aDest.data() + old);
}

TqorDelimitedStringList::TqorDelimitedStringList() {
  SetDelimiter(',');
  SetStrictDelimiter(true);
}
