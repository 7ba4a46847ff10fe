#include "line/call_thread.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <utility>

namespace {

std::atomic<int> abandonedCalls{0};
constexpr auto kLook = std::chrono::milliseconds(50);

}  // namespace

struct CallThread::State {
  std::mutex mutex;
  std::condition_variable changed;
  std::function<void()> call;
  bool busy = false;
  bool quit = false;
  bool abandoned = false;

  void Serve() {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      changed.wait(lock, [this] { return busy || quit; });
      if (!busy) {
        return;
      }
      std::function<void()> next = std::move(call);
      lock.unlock();
      next();
      next = nullptr;  // what it holds goes with it, here
      lock.lock();
      busy = false;
      changed.notify_all();
      if (abandoned) {
        --abandonedCalls;
        return;
      }
    }
  }
};

CallThread::CallThread() : state_(std::make_shared<State>()) {
  thread_ = std::thread([state = state_] { state->Serve(); });
}

CallThread::~CallThread() {
  if (abandoned_) {
    return;
  }
  {
    const std::lock_guard<std::mutex> lock(state_->mutex);
    state_->quit = true;
  }
  state_->changed.notify_all();
  thread_.join();
}

CallThread::Ended CallThread::Run(std::function<void()> call, const Wait& wait,
                                  const std::function<void()>& cancel) {
  const auto deadline = std::chrono::steady_clock::now() + wait.limit;
  std::unique_lock<std::mutex> lock(state_->mutex);
  state_->call = std::move(call);
  state_->busy = true;
  state_->changed.notify_all();
  Ended ended = Ended::Done;
  while (state_->busy) {
    if (wait.stop && wait.stop()) {
      ended = Ended::Stopped;
      break;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      ended = Ended::TimedOut;
      break;
    }
    state_->changed.wait_for(lock, kLook);
  }
  if (ended == Ended::Done) {
    return ended;
  }
  state_->abandoned = true;
  ++abandonedCalls;
  lock.unlock();
  abandoned_ = true;
  thread_.detach();
  if (cancel) {
    cancel();
  }
  return ended;
}

int CallThread::Abandoned() { return abandonedCalls.load(); }
