#include "support/sim_process.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

SimProcess::SimProcess(const std::string& program, std::vector<std::string> args) {
  args.insert(args.begin(), program);
  std::vector<char*> argv;
  argv.reserve(args.size() + 1);
  for (std::string& a : args) {
    argv.push_back(a.data());
  }
  argv.push_back(nullptr);
  int out[2];
  if (pipe(out) != 0) {
    return;
  }
  pid_ = fork();
  if (pid_ == 0) {
    dup2(out[1], STDOUT_FILENO);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(out[1]);
  // The first line is the pty's path.
  FILE* first = fdopen(out[0], "r");
  char line[256] = {};
  if (std::fgets(line, sizeof line, first) != nullptr) {
    path_.assign(line, std::strcspn(line, "\n"));
  }
  std::fclose(first);
}

SimProcess::~SimProcess() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

void SimProcess::Signal(int signal) const {
  if (pid_ > 0) {
    kill(pid_, signal);
  }
}

int SimProcess::WaitExit(int waitMs) {
  int status = 0;
  for (int i = 0; i < waitMs / 10; ++i, usleep(10000)) {
    if (pid_ > 0 && waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
  }
  return -1;
}
