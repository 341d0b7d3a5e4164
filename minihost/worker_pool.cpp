#include "worker_pool.h"

namespace minihost {

namespace {
thread_local bool t_in_pool_job = false;
}

WorkerPool::~WorkerPool() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  start_.notify_all();
  for (std::thread& t : threads_) t.join();
}

void WorkerPool::Loop(int index) {
  uint64_t seen = 0;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    start_.wait(lock, [&] { return stop_ || generation_ != seen; });
    if (stop_) return;
    seen = generation_;
    if (index >= wanted_) continue;  // not needed this time
    const std::function<void(int)>* job = job_;
    lock.unlock();
    t_in_pool_job = true;
    (*job)(index + 1);
    t_in_pool_job = false;
    lock.lock();
    if (--running_ == 0) finished_.notify_one();
  }
}

void WorkerPool::Run(int workers, const std::function<void(int)>& job) {
  if (workers <= 1 || t_in_pool_job) {
    job(0);
    return;
  }
  std::lock_guard<std::mutex> one_job(run_mutex_);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    while (int(threads_.size()) < workers - 1)
      threads_.emplace_back(&WorkerPool::Loop, this, int(threads_.size()));
    job_ = &job;
    wanted_ = running_ = workers - 1;
    ++generation_;
  }
  start_.notify_all();
  const bool was_in_job = t_in_pool_job;
  t_in_pool_job = true;  // a nested call from job(0) runs inline too
  job(0);
  t_in_pool_job = was_in_job;
  std::unique_lock<std::mutex> lock(mutex_);
  finished_.wait(lock, [&] { return running_ == 0; });
  job_ = nullptr;
}

}  // namespace minihost
