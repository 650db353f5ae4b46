#pragma once
#include <exception>
#include <functional>
#include <thread>

// The main (user-interface) thread's call queue. The main thread is the one that ran the
// program's static initialisation; it must pump the queue (CheckSynchronize) regularly.
using TThreadProcedure = std::function<void()>;

bool IsMainThread();

// On the main thread: runs aProc at once. Elsewhere: queues it (FIFO) and returns.
// aOwner tags the call so that RemoveQueuedCalls(aOwner) can drop it.
void QueueToMainThread(TThreadProcedure aProc, const void* aOwner = nullptr);

// On the main thread: runs aProc at once. Elsewhere: queues it and waits until the main
// thread has run it; an exception it raised is raised again here.
void SynchronizeWithMainThread(TThreadProcedure aProc);

// True on the main thread while it runs a call that aThread waits for in
// SynchronizeWithMainThread: waiting there for aThread could never end.
bool IsServingSynchronizedCall(std::thread::id aThread);

// Drops every queued, not yet running call tagged with aOwner. An object whose posted calls
// may still wait in the queue calls this in its destructor.
void RemoveQueuedCalls(const void* aOwner);

// The pump, for the main thread only: waits up to aTimeoutMs for a call to arrive, then runs
// every call queued so far, one at a time. Returns true when it ran any. Other threads: false.
bool CheckSynchronize(int aTimeoutMs = 0);

// Called (on the posting thread) after each queued call, so a window toolkit can wake its
// event loop and pump. An empty function removes the hook.
void SetWakeMainThread(std::function<void()> aHook);

// Receives exceptions that escape queued (not synchronised) calls while the pump runs them.
// By default they are written to stderr.
void SetMainThreadExceptionHandler(std::function<void(std::exception_ptr)> aHandler);

// Pumps until aDone() holds or aTimeoutMs passes; returns aDone(). For the main thread.
bool PumpUntil(const std::function<bool()>& aDone, int aTimeoutMs);
