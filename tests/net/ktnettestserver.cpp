// Starting and stopping the local test servers.
#include "ktnettestserver.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#ifndef OST_NET_TEST_SERVER
#error "OST_NET_TEST_SERVER must name the test server script"
#endif

namespace {

// The tests talk to 127.0.0.1 directly; a proxy named in the environment of
// the machine that runs them would take those requests away. The proxy test
// sets its own for its duration.
const bool proxiesCleared = [] {
  for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "ftp_proxy",
                           "FTP_PROXY", "gopher_proxy", "GOPHER_PROXY", "all_proxy", "ALL_PROXY",
                           "no_proxy", "NO_PROXY", "OST_CA_BUNDLE"})
    unsetenv(name);
  return true;
}();

}  // namespace

bool KTTestServer::Start(const std::string& mode, const std::vector<std::string>& args) {
  Stop();
  // Close-on-exec, so that a server started later does not hold this one's
  // stdin open: each server must see its stdin close when this process goes.
  int out[2], in[2];
  if (pipe2(out, O_CLOEXEC) != 0) return false;
  if (pipe2(in, O_CLOEXEC) != 0) {
    close(out[0]);
    close(out[1]);
    return false;
  }
  // The lifetime is only a backstop: the server ends as soon as this process
  // goes, and a loaded machine may run one test binary for a long while.
  std::vector<std::string> argv = {"/usr/bin/python3", OST_NET_TEST_SERVER, "--mode", mode,
                                   "--lifetime", "600"};
  argv.insert(argv.end(), args.begin(), args.end());
  pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    close(in[0]);
    close(in[1]);
    close(out[0]);
    close(out[1]);
    std::vector<char*> cargs;
    for (std::string& a : argv) cargs.push_back(a.data());
    cargs.push_back(nullptr);
    execv(cargs[0], cargs.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  if (pid < 0) {
    close(in[1]);
    close(out[0]);
    return false;
  }
  pid_ = pid;
  stdinFd_ = in[1];
  std::string text;
  // Generous: a loaded machine may take long to start python and the FTP module.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (text.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    pollfd p{out[0], POLLIN, 0};
    if (poll(&p, 1, 200) <= 0) continue;
    char buffer[256];
    ssize_t n = read(out[0], buffer, sizeof buffer);
    if (n <= 0) break;
    text.append(buffer, n);
  }
  close(out[0]);
  if (text.compare(0, 5, "PORT ") != 0) {
    Stop();
    return false;
  }
  port_ = std::atoi(text.c_str() + 5);
  return port_ > 0;
}

void KTTestServer::Stop() {
  if (stdinFd_ >= 0) close(stdinFd_);
  stdinFd_ = -1;
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    for (int i = 0; i < 40; ++i) {
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
        pid_ = -1;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  pid_ = -1;
  port_ = 0;
}

KTTempDir::KTTempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "ostnet-XXXXXX").string();
  if (mkdtemp(pattern.data())) path_ = pattern;
}

KTTempDir::~KTTempDir() {
  std::error_code ec;
  if (!path_.empty()) std::filesystem::remove_all(path_, ec);
}

int KTClosedPort() {
  // The socket stays bound, without listening, until the process ends: a
  // connection to the port is refused, and no other process (a server of a
  // test binary running beside this one) can take the port meanwhile.
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t len = sizeof addr;
  int port = 0;
  if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
    port = ntohs(addr.sin_port);
  if (port == 0) close(s);
  return port;
}

std::string KTReadFileBytes(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

void KTWriteFileBytes(const std::string& path, const std::string& bytes) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream f(path, std::ios::binary);
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

int KTCountLogLines(const std::string& path, const std::string& prefix) {
  std::ifstream f(path);
  std::string line;
  int count = 0;
  while (std::getline(f, line))
    if (line.compare(0, prefix.size(), prefix) == 0) ++count;
  return count;
}

std::string KTPatternBytes(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 256) & 0xFF);
  return bytes;
}
