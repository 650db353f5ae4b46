#pragma once
// Runs the real qorrcon program as a child: arguments, extra environment, standard input;
// collects standard output, standard error and the exit code. HOME and the XDG folders point
// into a private temporary folder, and no password variable leaks in from outside. Bounded:
// a child still running after the time limit is killed and reported.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <filesystem>
#include <fstream>

// A private folder, removed with everything in it (apart from the proxy and TLS kits, which
// bring their own and cannot share one program).
class TQorrconHome {
 public:
  TQorrconHome() {
    char name[] = "/tmp/qorrcon_test_XXXXXX";
    if (mkdtemp(name)) FPath = name;
  }
  ~TQorrconHome() {
    std::error_code ignored;
    std::filesystem::remove_all(FPath, ignored);
  }
  TQorrconHome(const TQorrconHome&) = delete;
  TQorrconHome& operator=(const TQorrconHome&) = delete;
  std::string File(const std::string& aName) const { return FPath + "/" + aName; }
  // Writes aText to aName, making its folders.
  std::string Write(const std::string& aName, const std::string& aText) const {
    const std::string name = File(aName);
    std::filesystem::create_directories(std::filesystem::path(name).parent_path());
    std::ofstream(name, std::ios::binary) << aText;
    return name;
  }

 private:
  std::string FPath;
};

struct TQorrconResult {
  int Exit = -1;  // -1: killed at the time limit
  std::string Out;
  std::string Err;
};

class TQorrcon {
 public:
  TQorrcon() {
    FEnv["HOME"] = FHome.File("home");
    FEnv["XDG_CONFIG_HOME"] = FHome.File("config");
    FEnv["XDG_DATA_HOME"] = FHome.File("data");
  }
  const TQorrconHome& Home() const { return FHome; }
  void SetEnv(const std::string& aName, const std::string& aValue) { FEnv[aName] = aValue; }

  // The environment the child gets: the test's own, less what would change the program's
  // behaviour, plus the private folders and what the test set.
  std::vector<std::string> Environment() const {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
      const std::string entry = *e;
      const std::string name = entry.substr(0, entry.find('='));
      if (name.rfind("QORRCON_", 0) == 0 || name.rfind("MCRCON_", 0) == 0 || name == "NO_COLOR" ||
          name.rfind("XDG_", 0) == 0 || FEnv.count(name))
        continue;
      env.push_back(entry);
    }
    for (const auto& [name, value] : FEnv) env.push_back(name + "=" + value);
    return env;
  }

  TQorrconResult Run(const std::vector<std::string>& aArgs, const std::string& aInput = "",
                     int aTimeoutMs = 30000) const {
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC)) return {};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    std::vector<std::string> args{QORRCON};
    args.insert(args.end(), aArgs.begin(), aArgs.end());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> envText = Environment();
    std::vector<char*> envp;
    for (std::string& e : envText) envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, QORRCON, &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    TQorrconResult result;
    if (rc != 0) {
      ::close(in[1]);
      ::close(out[0]);
      ::close(err[0]);
      return result;
    }
    // The input goes in from its own thread: a long script fills the pipe before the child
    // has read it, while the child's output must be read meanwhile.
    std::thread writer([fd = in[1], aInput] {
      signal(SIGPIPE, SIG_IGN);
      for (size_t done = 0; done < aInput.size();) {
        const ssize_t n = ::write(fd, aInput.data() + done, aInput.size() - done);
        if (n <= 0) break;
        done += size_t(n);
      }
      ::close(fd);
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(aTimeoutMs);
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.Out, &result.Err};
    bool killed = false;
    while (fds[0].fd >= 0 || fds[1].fd >= 0) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now())
                            .count();
      if (left <= 0) {
        kill(pid, SIGKILL);
        killed = true;
        break;
      }
      if (::poll(fds, 2, int(left)) <= 0) continue;
      for (int i = 0; i < 2; ++i) {
        if (fds[i].fd < 0 || !fds[i].revents) continue;
        char buf[65536];
        const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
        if (n > 0) {
          sinks[i]->append(buf, size_t(n));
        } else {
          ::close(fds[i].fd);
          fds[i].fd = -1;
        }
      }
    }
    for (const pollfd& p : fds)
      if (p.fd >= 0) ::close(p.fd);
    int status = 0;
    waitpid(pid, &status, 0);
    writer.join();
    result.Exit = !killed && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
  }

 private:
  TQorrconHome FHome;
  std::map<std::string, std::string> FEnv;
};

// Tests of the program against a server on 127.0.0.1, the password in a file.
class Qorrcon : public ::testing::Test {
 protected:
  TQorrconResult Run(std::vector<std::string> aArgs, const std::string& aInput = "") {
    return Q.Run(aArgs, aInput);
  }
  std::vector<std::string> At(int aPort, std::vector<std::string> aMore = {}) {
    std::vector<std::string> args{
        "-H", "127.0.0.1", "-P", std::to_string(aPort), "--password-file", PasswordFile};
    args.insert(args.end(), aMore.begin(), aMore.end());
    return args;
  }
  TQorrcon Q;
  const std::string PasswordFile = Q.Home().Write("password", "zulu\n");
};
