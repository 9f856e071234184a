#include "tests/support/test_env.h"

#include <atomic>
#include <chrono>
#include <cstdlib>

#if defined(_WIN32)
#include <windows.h>
#else
#include <signal.h>
#include <unistd.h>
#endif

namespace kx::test {

std::string unique_name(const std::string& stem) {
  static std::atomic<unsigned> counter{0};
#if defined(_WIN32)
  unsigned long pid = GetCurrentProcessId();
#else
  unsigned long pid = static_cast<unsigned long>(getpid());
#endif
  auto ticks = static_cast<unsigned long long>(
      std::chrono::steady_clock::now().time_since_epoch().count() % 1000000007ull);
  return stem + "_" + std::to_string(pid) + "_" + std::to_string(ticks % 100000) + "_" +
         std::to_string(counter++);
}

}  // namespace kx::test

#if !defined(_WIN32)
#include <sys/wait.h>
#endif

namespace kx::test {

Child start_child(const std::string& name, const std::string& value) {
  Child child;
#if defined(_WIN32)
  char path[MAX_PATH];
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  std::string command = std::string("\"") + path + "\" --gtest_filter=-*";
  // The environment is inherited; set it around the start only.
  SetEnvironmentVariableA(name.c_str(), value.c_str());
  BOOL started = CreateProcessA(path, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                &startup, &process);
  SetEnvironmentVariableA(name.c_str(), nullptr);
  if (!started) return child;
  CloseHandle(process.hThread);
  child.id = reinterpret_cast<long long>(process.hProcess);
#else
  pid_t pid = fork();
  if (pid < 0) return child;
  if (pid == 0) {
    setenv(name.c_str(), value.c_str(), 1);
    execl("/proc/self/exe", "child", "--gtest_filter=-*", static_cast<char*>(nullptr));
    _exit(127);
  }
  child.id = pid;
#endif
  return child;
}

int wait_child(Child child) {
  if (child.id == -1) return -1;
#if defined(_WIN32)
  HANDLE process = reinterpret_cast<HANDLE>(child.id);
  WaitForSingleObject(process, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(process, &code);
  CloseHandle(process);
  return static_cast<int>(code);
#else
  int status = 0;
  if (waitpid(static_cast<pid_t>(child.id), &status, 0) < 0) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
#endif
}

int run_child(const std::string& name, const std::string& value) {
  return wait_child(start_child(name, value));
}

[[noreturn]] void die_now() {
#if defined(_WIN32)
  TerminateProcess(GetCurrentProcess(), 9);
#else
  kill(getpid(), SIGKILL);
#endif
  for (;;) {
  }
}

}  // namespace kx::test
