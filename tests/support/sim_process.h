// The simulated unit's program as a child process with a pty of its own.
#ifndef DTU_TESTS_SUPPORT_SIM_PROCESS_H
#define DTU_TESTS_SUPPORT_SIM_PROCESS_H

#include <sys/types.h>

#include <string>
#include <vector>

class SimProcess {
 public:
  // program is the built dtu_sim_unit; args its options.
  SimProcess(const std::string& program, std::vector<std::string> args);
  SimProcess(const SimProcess&) = delete;
  SimProcess& operator=(const SimProcess&) = delete;
  // Ends the program if it still runs.
  ~SimProcess();

  // The pty's path, empty if the program refused to start.
  const std::string& Path() const { return path_; }
  void Signal(int signal) const;
  // The exit status, or -1 if it did not end within waitMs.
  int WaitExit(int waitMs);

 private:
  pid_t pid_ = -1;
  std::string path_;
};

#endif
