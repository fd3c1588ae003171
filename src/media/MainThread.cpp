#include "MainThread.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <condition_variable>
#include <deque>
#include <memory>
#include <exception>
#include <mutex>
#include <thread>

namespace {

struct PendingCall {
  const std::function<void()>* fn;
  std::exception_ptr error;
  bool done = false;
  // Set for posted calls: the call owns its function and nobody waits.
  std::unique_ptr<std::function<void()>> owned;
};

struct Dispatcher {
  std::mutex lock;
  std::condition_variable queued;  // a call arrived (main thread waits on it)
  std::condition_variable ran;     // a call finished (workers wait on it)
  // -- protected by lock:
  std::deque<PendingCall*> calls;
  std::function<void()> wakeup;
  std::thread::id mainThread = std::this_thread::get_id();
};

Dispatcher& D() {
  static Dispatcher d;
  return d;
}

// Captures the program's first thread during static initialisation.
[[maybe_unused]] const bool kMainThreadCaptured = (D(), true);

}  // namespace

void SetMainThread() {
  std::lock_guard<std::mutex> g(D().lock);
  D().mainThread = std::this_thread::get_id();
}

bool IsMainThread() {
  std::lock_guard<std::mutex> g(D().lock);
  return D().mainThread == std::this_thread::get_id();
}

uint32_t CurrentThreadId() { return static_cast<uint32_t>(syscall(SYS_gettid)); }

void CallInMainThread(const std::function<void()>& fn) {
  if (IsMainThread()) {
    fn();
    return;
  }
  Dispatcher& d = D();
  PendingCall call{&fn, nullptr, false, nullptr};
  std::function<void()> wakeup;
  {
    std::lock_guard<std::mutex> g(d.lock);
    d.calls.push_back(&call);
    wakeup = d.wakeup;
  }
  d.queued.notify_all();
  if (wakeup) wakeup();
  std::unique_lock<std::mutex> g(d.lock);
  d.ran.wait(g, [&] { return call.done; });
  if (call.error) std::rethrow_exception(call.error);
}

void PostToMainThread(std::function<void()> fn) {
  if (IsMainThread()) {
    fn();
    return;
  }
  Dispatcher& d = D();
  auto* call = new PendingCall{nullptr, nullptr, false, std::make_unique<std::function<void()>>(std::move(fn))};
  call->fn = call->owned.get();
  std::function<void()> wakeup;
  {
    std::lock_guard<std::mutex> g(d.lock);
    d.calls.push_back(call);
    wakeup = d.wakeup;
  }
  d.queued.notify_all();
  if (wakeup) wakeup();
}

int ProcessPendingMessages() {
  Dispatcher& d = D();
  int count = 0;
  for (;;) {
    PendingCall* call;
    {
      std::lock_guard<std::mutex> g(d.lock);
      if (d.calls.empty()) break;
      call = d.calls.front();
      d.calls.pop_front();
    }
    if (call->owned) {
      // Nobody waits for a posted call; its failure has nowhere to go.
      try {
        (*call->fn)();
      } catch (...) {
      }
      delete call;
      ++count;
      continue;
    }
    try {
      (*call->fn)();
    } catch (...) {
      call->error = std::current_exception();
    }
    {
      std::lock_guard<std::mutex> g(d.lock);
      call->done = true;
    }
    d.ran.notify_all();
    ++count;
  }
  return count;
}

int WaitAndProcessPendingMessages(std::chrono::milliseconds timeout) {
  Dispatcher& d = D();
  {
    std::unique_lock<std::mutex> g(d.lock);
    d.queued.wait_for(g, timeout, [&] { return !d.calls.empty(); });
  }
  return ProcessPendingMessages();
}

void SetMainThreadWakeup(std::function<void()> wakeup) {
  std::lock_guard<std::mutex> g(D().lock);
  D().wakeup = std::move(wakeup);
}
