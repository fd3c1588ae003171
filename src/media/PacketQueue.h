// The blocking queues between the player's threads: demuxed packets from the
// read thread to a decoder, and a manual-reset signal for one-shot hand-overs.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "FFmpegLibs.h"

// A manual-reset event: stays set until Reset, wakes every waiter.
class TSignal {
 public:
  explicit TSignal(bool initiallySet = false) : set_(initiallySet) {}
  void Set();
  void Reset();
  bool IsSet() const;
  // True when the signal is (or becomes) set within timeout.
  bool Wait(std::chrono::milliseconds timeout);
  void Wait();

 private:
  mutable std::mutex lock_;
  std::condition_variable changed_;
  bool set_;  // guarded by lock_
};

// A thread that says when it has finished, so that the main thread can wait
// for it while serving its hand-off queue (the thread may be waiting there).
class TWorker {
 public:
  TWorker() = default;
  ~TWorker() { Join(); }
  TWorker(const TWorker&) = delete;
  TWorker& operator=(const TWorker&) = delete;
  // Throws std::system_error when the thread cannot be started.
  void Start(std::function<void()> body);
  // Waits for the end of the thread (nothing when none was started).
  void Join();
  bool Started() const { return thread_.joinable(); }
  // Set while no thread runs.
  TSignal& Finished() { return finished_; }

 private:
  std::thread thread_;
  TSignal finished_{true};
};

// FIFO of packets owned by the queue. The flush marker travels through it
// like a packet but is recognised by its data pointer and never copied.
class TPacketQueue {
 public:
  // What one queued packet costs on top of its payload, for the size limits.
  static constexpr int NodeOverhead = 72;

  TPacketQueue() = default;
  ~TPacketQueue();
  TPacketQueue(const TPacketQueue&) = delete;
  TPacketQueue& operator=(const TPacketQueue&) = delete;

  // The marker's data pointer; a packet whose data equals it is the marker.
  static const uint8_t* FlushData();
  static bool IsFlushMarker(const AVPacket* packet) { return packet->data == FlushData(); }
  // Makes packet the marker (no buffer, no payload).
  static void MakeFlushMarker(AVPacket* packet);

  // Empties the queue, clears the abort flag and puts the flush marker.
  void Init();
  // Frees every queued packet.
  void Flush();
  // Flush; the queue may be initialised again afterwards.
  void End();
  // Appends a reference to packet (the caller keeps its own). -1 when the
  // copy cannot be made or the queue was aborted.
  int Put(const AVPacket* packet);
  // Wakes every waiter; Get returns -1 from now on until Init.
  void Abort();
  bool Aborted() const;
  // -1 aborted, 1 packet moved into packet (which must be blank), 0 empty
  // (without block, or when timeout passed). A blocking get waits until a
  // packet arrives or the queue is aborted; a negative timeout means no limit.
  int Get(AVPacket* packet, bool block,
          std::chrono::milliseconds timeout = std::chrono::milliseconds(-1));

  int Count() const;
  // Payload bytes plus NodeOverhead per packet.
  int64_t Size() const;

 private:
  struct Node {
    AVPacket* packet;  // nullptr for the flush marker
  };
  mutable std::mutex lock_;
  std::condition_variable changed_;
  // -- guarded by lock_:
  std::deque<Node> nodes_;
  int64_t size_ = 0;
  bool abortRequest_ = false;
};
