#include "PacketQueue.h"

#include "MainThread.h"

namespace {
const uint8_t kFlushText[] = "FLUSH";
}

void TSignal::Set() {
  {
    std::lock_guard<std::mutex> g(lock_);
    set_ = true;
  }
  changed_.notify_all();
}

void TSignal::Reset() {
  std::lock_guard<std::mutex> g(lock_);
  set_ = false;
}

bool TSignal::IsSet() const {
  std::lock_guard<std::mutex> g(lock_);
  return set_;
}

bool TSignal::Wait(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> g(lock_);
  return changed_.wait_for(g, timeout, [&] { return set_; });
}

void TSignal::Wait() {
  std::unique_lock<std::mutex> g(lock_);
  changed_.wait(g, [&] { return set_; });
}

void TWorker::Start(std::function<void()> body) {
  Join();
  finished_.Reset();
  try {
    thread_ = std::thread([this, body = std::move(body)] {
      body();
      finished_.Set();
    });
  } catch (...) {
    finished_.Set();
    throw;
  }
}

void TWorker::Join() {
  if (!thread_.joinable()) return;
  if (thread_.get_id() == std::this_thread::get_id()) {
    thread_.detach();
    return;
  }
  if (IsMainThread()) {
    while (!finished_.Wait(std::chrono::milliseconds(5))) ProcessPendingMessages();
  }
  thread_.join();
}

TPacketQueue::~TPacketQueue() { Flush(); }

const uint8_t* TPacketQueue::FlushData() { return kFlushText; }

void TPacketQueue::MakeFlushMarker(AVPacket* packet) {
  lavc.av_packet_unref(packet);
  packet->data = const_cast<uint8_t*>(kFlushText);
  packet->size = 0;
}

void TPacketQueue::Init() {
  {
    std::lock_guard<std::mutex> g(lock_);
    abortRequest_ = false;
  }
  Flush();
  std::lock_guard<std::mutex> g(lock_);
  nodes_.push_back({nullptr});
  size_ += NodeOverhead;
}

void TPacketQueue::Flush() {
  std::deque<Node> old;
  {
    std::lock_guard<std::mutex> g(lock_);
    old.swap(nodes_);
    size_ = 0;
  }
  for (Node& n : old)
    if (n.packet) lavc.av_packet_free(&n.packet);
}

void TPacketQueue::End() { Flush(); }

int TPacketQueue::Put(const AVPacket* packet) {
  AVPacket* copy = nullptr;
  if (!IsFlushMarker(packet)) {
    copy = lavc.av_packet_alloc();
    if (!copy) return -1;
    if (lavc.av_packet_ref(copy, packet) < 0) {
      lavc.av_packet_free(&copy);
      return -1;
    }
  }
  {
    std::lock_guard<std::mutex> g(lock_);
    if (abortRequest_) {
      if (copy) lavc.av_packet_free(&copy);
      return -1;
    }
    nodes_.push_back({copy});
    size_ += (copy ? copy->size : 0) + NodeOverhead;
  }
  changed_.notify_all();
  return 0;
}

void TPacketQueue::Abort() {
  {
    std::lock_guard<std::mutex> g(lock_);
    abortRequest_ = true;
  }
  changed_.notify_all();
}

bool TPacketQueue::Aborted() const {
  std::lock_guard<std::mutex> g(lock_);
  return abortRequest_;
}

int TPacketQueue::Get(AVPacket* packet, bool block, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> g(lock_);
  auto ready = [&] { return abortRequest_ || !nodes_.empty(); };
  if (block) {
    if (timeout.count() < 0)
      changed_.wait(g, ready);
    else
      changed_.wait_for(g, timeout, ready);
  }
  if (abortRequest_) return -1;
  if (nodes_.empty()) return 0;
  Node n = nodes_.front();
  nodes_.pop_front();
  size_ -= (n.packet ? n.packet->size : 0) + NodeOverhead;
  g.unlock();
  if (n.packet) {
    lavc.av_packet_move_ref(packet, n.packet);
    lavc.av_packet_free(&n.packet);
  } else {
    MakeFlushMarker(packet);
  }
  return 1;
}

int TPacketQueue::Count() const {
  std::lock_guard<std::mutex> g(lock_);
  return static_cast<int>(nodes_.size());
}

int64_t TPacketQueue::Size() const {
  std::lock_guard<std::mutex> g(lock_);
  return size_;
}
