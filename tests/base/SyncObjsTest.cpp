#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "base/IdThreadSafe.h"
#include "base/qorWebSocket_Classes_Queues.h"
#include "base/qorWebSocket_Classes_SyncObjs.h"

namespace {
// True when another thread can take the list's lock (so no operation left it held).
bool LockIsFree(TqorThreadList& aList) {
  auto f = std::async(std::launch::async, [&] { return aList.IsEmpty(); });
  return f.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
}

std::vector<void*> Snapshot(TqorThreadList& aList) {
  std::vector<void*> copy = aList.LockList();
  aList.UnlockList();
  return copy;
}
}  // namespace

TEST(CriticalSection, IsRecursiveAndExcludesOtherThreads) {
  TqorCriticalSection cs;
  auto otherGets = [&] {
    bool got = false;
    std::thread([&] {
      got = cs.TryAcquire();
      if (got) cs.Release();
    }).join();
    return got;
  };
  cs.Acquire();
  ASSERT_TRUE(cs.TryAcquire());
  EXPECT_FALSE(otherGets());
  cs.Release();
  EXPECT_FALSE(otherGets()) << "acquired twice, released once";
  cs.Release();
  EXPECT_TRUE(otherGets());
}

TEST(ThreadList, DuplicatePolicies) {
  int a = 0;
  struct Row {
    TDuplicates policy;
    size_t count;
    bool raises;
  };
  for (const Row& r :
       {Row{dupIgnore, 1, false}, Row{dupAccept, 2, false}, Row{dupError, 1, true}}) {
    SCOPED_TRACE(r.policy);
    TqorThreadList list;
    EXPECT_EQ(list.Duplicates(), dupIgnore);
    list.SetDuplicates(r.policy);
    list.Add(&a);
    if (r.raises) {
      EXPECT_THROW(list.Add(&a), EListError);
      try {
        list.Add(&a);
      } catch (const EListError& e) {
        EXPECT_EQ(e.Message().rfind("List does not allow duplicates ($0", 0), 0u) << e.Message();
      }
    } else {
      list.Add(&a);
    }
    EXPECT_EQ(Snapshot(list).size(), r.count);
    EXPECT_TRUE(LockIsFree(list));
  }
}

TEST(ThreadList, KeysAreIgnoredAndListTypeIsFixed) {
  int a = 0, b = 0;
  TqorThreadList list;
  EXPECT_TRUE(list.IsEmpty());
  list.AddKey(&a, "k");
  EXPECT_FALSE(list.IsEmpty());
  list.AddKey(&b, "k2");
  EXPECT_EQ(list.GetValue("k"), nullptr);
  list.DeleteKey(0, "whatever");
  EXPECT_EQ(Snapshot(list), std::vector<void*>{&b});
  list.SetListType(tdlOnlyDictionary);
  EXPECT_EQ(list.ListType(), tdlOnlyThread);
}

TEST(ThreadList, DeleteOutOfRangeRaisesAndKeepsList) {
  int a = 0;
  TqorThreadList list;
  list.Add(&a);
  for (int bad : {-1, 1, 5}) {
    try {
      list.Delete(bad);
      ADD_FAILURE() << bad;
    } catch (const EListError& e) {
      EXPECT_EQ(e.Message(), "List index out of bounds (" + std::to_string(bad) + ")");
    }
  }
  EXPECT_EQ(Snapshot(list).size(), 1u);
  EXPECT_TRUE(LockIsFree(list));
}

TEST(ThreadList, RemoveByDirection) {
  int a = 0, b = 0, c = 0;
  TqorThreadList list;
  list.SetDuplicates(dupAccept);
  for (void* p : {(void*)&a, (void*)&b, (void*)&a}) list.Add(p);
  list.Remove(&c);  // absent: nothing
  list.RemoveItem(&a, FromEnd);
  EXPECT_EQ(Snapshot(list), (std::vector<void*>{&a, &b}));
  list.Add(&a);
  list.Remove(&a);
  EXPECT_EQ(Snapshot(list), (std::vector<void*>{&b, &a}));
}

TEST(ThreadList, LockListIsRecursiveForOtherOperations) {
  int a = 0;
  TqorThreadList list;
  TqorPointerList& inner = list.LockList();
  list.Add(&a);  // would deadlock with a plain mutex
  EXPECT_EQ(inner.size(), 1u);
  list.UnlockList();
  EXPECT_TRUE(LockIsFree(list));
}

TEST(ThreadList, ConcurrentAddsAreAllKept) {
  TqorThreadList list;
  list.SetDuplicates(dupAccept);
  std::vector<std::thread> threads;
  static int slots[4][500];
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 500; ++i) list.Add(&slots[t][i]);
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(Snapshot(list).size(), 2000u);
}

namespace {
struct TTrackedItem : TqorQueueItemBase {
  TTrackedItem(std::string aID, std::vector<std::string>* aLog) : FLog(aLog) {
    FID = std::move(aID);
  }
  ~TTrackedItem() override {
    if (FLog) FLog->push_back(FID);
  }
  std::vector<std::string>* FLog;
};
}  // namespace

TEST(Queue, EmptyQueueLookups) {
  TqorQueue q;
  EXPECT_EQ(q.Count(), 0);
  EXPECT_EQ(q.GetItem("a"), nullptr);
  EXPECT_FALSE(q.DeleteItem("a"));
  EXPECT_EQ(q.GetItemByIndex(0), nullptr);
  EXPECT_FALSE(q.DeleteItem(0));
  EXPECT_THROW(q.GetItemByIndex(-1), EListError);
  EXPECT_THROW(q.DeleteItem(-1), EListError);
  EXPECT_FALSE(q.OwnObjects());
  TqorQueueItemBase plain;
  EXPECT_EQ(plain.ID(), "");
}

TEST(Queue, IdLookupsTakeFirstMatchCaseSensitively) {
  std::vector<std::string> freed;
  TqorQueue q;
  q.SetOwnObjects(true);
  auto* first = new TTrackedItem("A", &freed);
  auto* second = new TTrackedItem("A", &freed);
  q.AddItem(first);
  q.AddItem(second);
  EXPECT_EQ(q.GetItem("A"), first);
  EXPECT_EQ(q.GetItem("a"), nullptr);
  EXPECT_EQ(q.Item(1), second);
  ASSERT_TRUE(q.DeleteItem("A"));
  EXPECT_EQ(freed, std::vector<std::string>{"A"});
  EXPECT_EQ(q.Count(), 1);
  EXPECT_EQ(q.GetItem(0), second);
  EXPECT_FALSE(q.DeleteItem(1));
  EXPECT_TRUE(q.DeleteItem(0));
  EXPECT_EQ(q.Count(), 0);
}

TEST(Queue, OwnershipOnClearAndDestruction) {
  std::vector<std::string> freed;
  {
    TqorQueue q;
    q.SetOwnObjects(true);
    for (const char* id : {"1", "2", "3"}) q.AddItem(new TTrackedItem(id, &freed));
    q.Clear();
    EXPECT_EQ(freed, (std::vector<std::string>{"3", "2", "1"})) << "last first";
    EXPECT_EQ(q.Count(), 0);
    freed.clear();
    q.AddItem(new TTrackedItem("x", &freed));
  }
  EXPECT_EQ(freed, std::vector<std::string>{"x"}) << "destroying an owning queue frees items";

  freed.clear();
  TTrackedItem kept("k", nullptr);
  {
    TqorQueue q;  // not owning
    q.AddItem(&kept);
    q.Clear();
    q.AddItem(&kept);
    EXPECT_TRUE(q.DeleteItem(0));
    q.AddItem(&kept);
  }
  EXPECT_EQ(kept.ID(), "k");  // still alive (ASan would flag a free)
  int ref = 0;
  {
    TqorThreadList list;
    list.Add(&ref);  // a stack object: freeing it would crash
  }
}

TEST(Helpers, AppendBytesTo) {
  TBytes dest{1, 2};
  AppendBytesTo(TBytes{}, dest);
  EXPECT_EQ(dest, (TBytes{1, 2}));
  AppendBytesTo(TBytes{3, 4, 5}, dest);
  EXPECT_EQ(dest, (TBytes{1, 2, 3, 4, 5}));
  AppendBytesTo(dest, dest);
  EXPECT_EQ(dest, (TBytes{1, 2, 3, 4, 5, 1, 2, 3, 4, 5}));
}

TEST(Helpers, DelimitedStringListSplitsOnlyOnCommas) {
  TqorDelimitedStringList l;
  l.SetDelimitedText("a b,\"c\", d");
  ASSERT_EQ(l.Count(), 3);
  EXPECT_EQ(l.Strings(0), "a b");
  EXPECT_EQ(l.Strings(1), "\"c\"");
  EXPECT_EQ(l.Strings(2), " d");
  TqorStringStream s("text");
  EXPECT_EQ(s.DataString(), "text");
}

TEST(ThreadSafe, IntegerAndBoolean) {
  TIdThreadSafeInteger n;
  EXPECT_EQ(n.Increment(), 0);
  EXPECT_EQ(n.Increment(5), 1);
  EXPECT_EQ(n.Decrement(2), 6);
  EXPECT_EQ(n.Value(), 4);
  n.SetValue(INT32_MAX);
  n.Increment();  // wraps instead of overflowing
  EXPECT_EQ(n.Value(), INT32_MIN);
  n.SetValue(0);
  std::vector<std::thread> ts;
  for (int t = 0; t < 4; ++t)
    ts.emplace_back([&] {
      for (int i = 0; i < 1000; ++i) n.Increment();
    });
  for (auto& t : ts) t.join();
  EXPECT_EQ(n.Value(), 4000);
  TIdThreadSafeBoolean b;
  EXPECT_FALSE(b.Value());
  EXPECT_TRUE(b.Toggle());
  EXPECT_FALSE(b.Toggle());
  b.SetValue(true);
  EXPECT_TRUE(b.Value());
}
