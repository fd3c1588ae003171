// Synchronous hand-off of calls from worker threads to the main thread.
//
// A worker queues a call and waits until the main thread has run it. The main
// thread runs queued calls in ProcessPendingMessages: the application drains
// the queue from its event loop (through the wake-up hook), and main-thread
// code that waits for a worker calls it between slices of its wait.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

// The thread that initialised the program is the main thread; this makes the
// calling thread the main thread instead.
void SetMainThread();
bool IsMainThread();
// The kernel's id of the calling thread.
uint32_t CurrentThreadId();

// Runs fn in the main thread and waits for it; runs it at once when called
// from the main thread. An exception thrown by fn reaches the caller.
void CallInMainThread(const std::function<void()>& fn);

// Queues fn for the main thread and returns at once (fn owns what it needs).
// Runs it at once when called from the main thread.
void PostToMainThread(std::function<void()> fn);

// Runs every queued call; returns how many ran. Main thread only.
int ProcessPendingMessages();

// Waits up to timeout for a call to be queued, then runs what is queued.
// Main thread only; returns how many calls ran.
int WaitAndProcessPendingMessages(std::chrono::milliseconds timeout);

// Called from the queuing thread each time a call is queued, so that an event
// loop can schedule ProcessPendingMessages. Empty by default.
void SetMainThreadWakeup(std::function<void()> wakeup);
