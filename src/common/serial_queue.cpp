// The worker loop of SerialQueue. Tasks must not throw: an exception leaving the worker's
// function ends the process, which beats leaving a sync() caller waiting forever.
#include "common/serial_queue.h"

#include <utility>

namespace velmaris {

SerialQueue::SerialQueue(std::string label)
    : label_(std::move(label)), worker_([this] { work(); }) {}

SerialQueue::~SerialQueue() {
  {
    std::lock_guard lock(mutex_);
    ending_ = true;
  }
  wake_.notify_one();
  worker_.join();
}

void SerialQueue::async(std::function<void()> task) {
  {
    std::lock_guard lock(mutex_);
    tasks_.push_back(std::move(task));
  }
  wake_.notify_one();
}

void SerialQueue::sync(const std::function<void()>& task) {
  std::mutex doneMutex;
  std::condition_variable doneSignal;
  bool done = false;
  async([&] {
    task();
    std::lock_guard lock(doneMutex);
    done = true;
    doneSignal.notify_one();
  });
  std::unique_lock lock(doneMutex);
  doneSignal.wait(lock, [&] { return done; });
}

void SerialQueue::work() {
  for (;;) {
    std::function<void()> task;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [&] { return ending_ || !tasks_.empty(); });
      if (tasks_.empty()) return;  // ending, and nothing left to run
      task = std::move(tasks_.front());
      tasks_.pop_front();
    }
    task();
  }
}

}  // namespace velmaris
