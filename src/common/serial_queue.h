// A serial queue: one worker thread runs the tasks handed to it, one at a time, in the
// order they were handed over. async() returns at once; sync() returns after its task has
// run, and so after every task handed over before it. Safe to use from any thread except
// that sync() must not be called from a task on the same queue (it would wait on itself).
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace velmaris {

class SerialQueue {
 public:
  explicit SerialQueue(std::string label);
  // Runs the tasks still waiting, then ends the worker.
  ~SerialQueue();

  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;

  const std::string& label() const { return label_; }

  void async(std::function<void()> task);
  void sync(const std::function<void()>& task);

 private:
  void work();

  std::string label_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> tasks_;
  bool ending_ = false;
  std::thread worker_;  // last: started once everything above exists
};

}  // namespace velmaris
