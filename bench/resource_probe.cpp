#include "resource_probe.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <malloc.h>
#include <spawn.h>
#include <sstream>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace bench {

double CpuClock::now() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return t.tv_sec + t.tv_nsec * 1e-9;
}

long statusKb(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  const std::string prefix = std::string(field) + ":";
  while (std::getline(status, line)) {
    if (line.compare(0, prefix.size(), prefix) == 0) return std::strtol(line.c_str() + prefix.size(), nullptr, 10);
  }
  return -1;
}

bool PeakMemory::start() {
  malloc_trim(0);
  bool reset = false;
  if (std::FILE* refs = std::fopen("/proc/self/clear_refs", "w")) {
    reset = std::fputs("5", refs) >= 0;
    reset = std::fclose(refs) == 0 && reset;
  }
  base_kb_ = statusKb("VmRSS");
  return reset;
}

long PeakMemory::addedKb() const { return statusKb("VmHWM") - base_kb_; }

ChildRun runChild(const std::vector<std::string>& argv, const std::string& log_path,
                  const std::vector<std::string>& extra_env) {
  ChildRun run;
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<std::string> env_storage(extra_env);
  std::vector<char*> env;
  for (char** e = environ; *e; ++e) env.push_back(*e);
  for (std::string& e : env_storage) env.push_back(&e[0]);
  env.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log_path.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);

  // The child's peak includes whatever it shared with us until exec, so our
  // own high-water mark is brought down to our current size first.
  PeakMemory parent;
  parent.start();
  run.parent_rss_kb = parent.baseKb();

  const WallClock clock;
  pid_t pid = 0;
  const int spawn_error = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), env.data());
  posix_spawn_file_actions_destroy(&actions);
  if (spawn_error != 0) {
    run.error = std::string("cannot start ") + argv[0] + ": " + std::strerror(spawn_error);
    return run;
  }
  run.started = true;
  int status = 0;
  // This child's own figures: RUSAGE_CHILDREN would give the largest peak of
  // every child run so far.
  rusage usage{};
  while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  run.seconds = clock.seconds();
  run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.max_rss_kb = usage.ru_maxrss;

  std::ifstream log(log_path);
  std::ostringstream text;
  text << log.rdbuf();
  run.output = text.str();
  return run;
}

}  // namespace bench
