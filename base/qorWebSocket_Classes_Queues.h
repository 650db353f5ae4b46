#pragma once
#include <string>

#include "base/qorWebSocket_Classes_SyncObjs.h"

// An entry of a queue, identified by a string that descendants assign to FID.
class TqorQueueItemBase {
 public:
  TqorQueueItemBase() = default;
  virtual ~TqorQueueItemBase() = default;
  virtual std::string GetID() const { return FID; }
  std::string ID() const { return GetID(); }

 protected:
  std::string FID;
};

// Locked list of queue items; with OwnObjects it frees every item it removes or still holds.
class TqorQueueCommon : public TqorThreadList {
 public:
  TqorQueueCommon() = default;
  ~TqorQueueCommon() override;

  bool OwnObjects() const;
  void SetOwnObjects(bool aValue);
  int Count() const;
  // Removes the entries last first, freeing each one when OwnObjects is set.
  void Clear() override;

 protected:
  // Takes the entry at Index out (Index must be valid) and frees it when owned.
  void Discard(int Index);

 private:
  bool FOwnObjects = false;
};

// Items are looked up by exact ID (first match in list order) or by index; a missing ID or
// an index at or beyond Count yields null/false, a negative index raises the list index error.
// Returned items are borrowed: valid only while no other thread deletes them.
class TqorQueueBase : public TqorQueueCommon {
 public:
  virtual TqorQueueItemBase* GetItemByIndex(int Index);
  // Appends without any duplicate check; the item must not be in another owning queue.
  virtual void AddItem(TqorQueueItemBase* aItem);
  bool DeleteItem(const std::string& aID);
  bool DeleteItem(int Index);
  TqorQueueItemBase* GetItem(const std::string& aID);
  TqorQueueItemBase* GetItem(int Index) { return GetItemByIndex(Index); }
  TqorQueueItemBase* Item(int Index) { return GetItem(Index); }

 private:
  int IndexOfID(const std::string& aID);  // -1 when absent; call under the lock
  bool IndexInRange(int Index);           // false at/above Count; raises when negative
};

class TqorQueue : public TqorQueueBase {};
