#include "base/qorWebSocket_Classes_Queues.h"

#include "platform/Exception.h"

TqorQueueCommon::~TqorQueueCommon() {
  TqorQueueCommon::Clear();
}

bool TqorQueueCommon::OwnObjects() const {
  std::lock_guard<TqorCriticalSection> g(FLock);
  return FOwnObjects;
}

void TqorQueueCommon::SetOwnObjects(bool aValue) {
  std::lock_guard<TqorCriticalSection> g(FLock);
  FOwnObjects = aValue;
}

int TqorQueueCommon::Count() const {
  std::lock_guard<TqorCriticalSection> g(FLock);
  return static_cast<int>(FList.size());
}

void TqorQueueCommon::Clear() {
  {
    std::lock_guard<TqorCriticalSection> g(FLock);
    for (int i = static_cast<int>(FList.size()) - 1; i >= 0; --i) Discard(i);
  }
  TqorThreadList::Clear();
}

void TqorQueueCommon::Discard(int Index) {
  // Out of the list before its destructor runs, so that it never sees itself queued.
  auto* item = static_cast<TqorQueueItemBase*>(FList[static_cast<size_t>(Index)]);
  FList.erase(FList.begin() + Index);
  if (FOwnObjects) delete item;
}

bool TqorQueueBase::IndexInRange(int Index) {
  if (Index >= static_cast<int>(FList.size())) return false;
  if (Index < 0) ListIndexError(Index);
  return true;
}

int TqorQueueBase::IndexOfID(const std::string& aID) {
  for (size_t i = 0; i < FList.size(); ++i)
    if (static_cast<TqorQueueItemBase*>(FList[i])->GetID() == aID) return static_cast<int>(i);
  return -1;
}

TqorQueueItemBase* TqorQueueBase::GetItemByIndex(int Index) {
  std::lock_guard<TqorCriticalSection> g(FLock);
  return IndexInRange(Index) ? static_cast<TqorQueueItemBase*>(FList[static_cast<size_t>(Index)])
                             : nullptr;
}

void TqorQueueBase::AddItem(TqorQueueItemBase* aItem) {
  std::lock_guard<TqorCriticalSection> g(FLock);
  FList.push_back(aItem);
}

bool TqorQueueBase::DeleteItem(const std::string& aID) {
  std::lock_guard<TqorCriticalSection> g(FLock);
  const int i = IndexOfID(aID);
  if (i < 0) return false;
  Discard(i);
  return true;
}

bool TqorQueueBase::DeleteItem(int Index) {
  std::lock_guard<TqorCriticalSection> g(FLock);
  if (!IndexInRange(Index)) return false;
  Discard(Index);
  return true;
}

TqorQueueItemBase* TqorQueueBase::GetItem(const std::string& aID) {
  std::lock_guard<TqorCriticalSection> g(FLock);
  const int i = IndexOfID(aID);
  return i < 0 ? nullptr : static_cast<TqorQueueItemBase*>(FList[static_cast<size_t>(i)]);
}
