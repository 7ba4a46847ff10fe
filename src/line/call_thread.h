// A thread that makes one call at a time for a caller who waits only so
// long: a database that stops answering, or a network that drops packets,
// must never hold a station past its time limit, nor past Ctrl-C.
#ifndef DTU_LINE_CALL_THREAD_H
#define DTU_LINE_CALL_THREAD_H

#include <chrono>
#include <functional>
#include <memory>
#include <thread>

class CallThread {
 public:
  // How long a caller waits, and what else ends the wait early.
  struct Wait {
    std::chrono::milliseconds limit{10000};
    std::function<bool()> stop;  // asked a few times a second; may be empty
  };
  enum class Ended { Done, TimedOut, Stopped };

  CallThread();
  CallThread(const CallThread&) = delete;
  CallThread& operator=(const CallThread&) = delete;
  ~CallThread();

  // Makes call on the thread and waits for it. When the wait ends first,
  // cancel is made here, and the thread is left to end by itself with the
  // call and all it holds: the call must own whatever it touches. This
  // object takes no calls after that.
  Ended Run(std::function<void()> call, const Wait& wait, const std::function<void()>& cancel);
  bool abandoned() const { return abandoned_; }

  // Calls still running that nobody waits for: a process should not run its
  // exit handlers under them.
  static int Abandoned();

 private:
  struct State;
  std::shared_ptr<State> state_;
  std::thread thread_;
  bool abandoned_ = false;
};

#endif
