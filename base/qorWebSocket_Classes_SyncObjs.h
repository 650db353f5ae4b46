#pragma once
#include <mutex>
#include <string>
#include <vector>

#include "platform/Stream.h"
#include "platform/StringList.h"
#include "platform/Types.h"

// Recursive lock: the holder may acquire it again and releases it as often. Never throws.
// The lower-case aliases make it usable with std::lock_guard and std::condition_variable_any.
class TqorCriticalSection {
 public:
  TqorCriticalSection() = default;
  TqorCriticalSection(const TqorCriticalSection&) = delete;
  TqorCriticalSection& operator=(const TqorCriticalSection&) = delete;

  void Acquire() noexcept;
  void Release() noexcept;
  bool TryAcquire() noexcept;

  void lock() noexcept { Acquire(); }
  void unlock() noexcept { Release(); }
  bool try_lock() noexcept { return TryAcquire(); }

 private:
  std::recursive_mutex FSection;
};

enum TqorThreadListType { tdlThreadDictionary, tdlOnlyThread, tdlOnlyDictionary };
enum TDirection { FromBeginning, FromEnd };

// The inner list of a TqorThreadList: untyped references compared by identity.
using TqorPointerList = std::vector<void*>;

// Locked list of references. It never frees what the references point to. For several
// steps that must be atomic, LockList, work on the returned list, UnlockList.
class TqorThreadList {
 public:
  TqorThreadList();
  virtual ~TqorThreadList();
  TqorThreadList(const TqorThreadList&) = delete;
  TqorThreadList& operator=(const TqorThreadList&) = delete;

  TDuplicates Duplicates() const;
  void SetDuplicates(TDuplicates aValue);
  // Only the plain-list kind exists: reads tdlOnlyThread whatever was written.
  TqorThreadListType ListType() const { return tdlOnlyThread; }
  void SetListType(TqorThreadListType aValue);

  // dupError with Item present raises EListError "List does not allow duplicates ($0%x)".
  void Add(void* Item);
  void AddKey(void* Item, const std::string& aKey);  // the key is ignored
  virtual void Clear();
  // Index outside 0..Count-1 raises EListError "List index out of bounds (%d)".
  void Delete(int Index);
  void DeleteKey(int Index, const std::string& aKey);  // the key is ignored
  void* GetValue(const std::string& aKey);             // there is no keyed storage: null
  bool IsEmpty() const;
  TqorPointerList& LockList();
  void UnlockList();
  void Remove(void* Item);
  void RemoveItem(void* Item, TDirection Direction);

 protected:
  TqorPointerList FList;
  mutable TqorCriticalSection FLock;

 private:
  TDuplicates FDuplicates = dupIgnore;
};

// Appends every byte of aSource to aDest (aSource may be aDest).
void AppendBytesTo(const TBytes& aSource, TBytes& aDest);

// String list where only commas separate entries (blanks and quotes are data).
class TqorDelimitedStringList : public TStringList {
 public:
  TqorDelimitedStringList();
};

class TqorStringStream : public TStringStream {
 public:
  using TStringStream::TStringStream;
};
