// Threads kept for a host's lifetime, as a real host keeps its render threads: starting
// threads on every iterate call costs more than a small iteration does.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace minihost {

class WorkerPool {
 public:
  WorkerPool() = default;
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Calls job(0) on this thread and job(1) … job(workers − 1) on pool threads, and returns
  // when every call has returned. Threads are started on first need and kept. A call from
  // inside a job runs job(0) alone: jobs take their work from a shared counter, so one
  // caller finishes it all.
  void Run(int workers, const std::function<void(int worker)>& job);

 private:
  void Loop(int index);

  std::mutex run_mutex_;  // one job at a time
  std::mutex mutex_;
  std::condition_variable start_, finished_;
  std::vector<std::thread> threads_;  // thread k runs job(k + 1)
  const std::function<void(int)>* job_ = nullptr;
  uint64_t generation_ = 0;
  int wanted_ = 0;   // pool threads this job needs
  int running_ = 0;  // of them, not yet finished
  bool stop_ = false;
};

}  // namespace minihost
