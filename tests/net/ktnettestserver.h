// Helpers of the network tests: a local test server (net_test_server.py run
// with the system's python3) started and stopped by the test itself, a
// temporary folder, a port that nothing listens on, and file helpers.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

class KTTestServer {
 public:
  KTTestServer() = default;
  KTTestServer(const KTTestServer&) = delete;
  KTTestServer& operator=(const KTTestServer&) = delete;
  ~KTTestServer() { Stop(); }

  // Starts the server in mode ("http", "https", "gopher", "ftp") with further
  // arguments; false when it did not report its port within a few seconds.
  bool Start(const std::string& mode, const std::vector<std::string>& args);
  void Stop();
  int Port() const { return port_; }

 private:
  pid_t pid_ = -1;
  int stdinFd_ = -1;
  int port_ = 0;
};

class KTTempDir {
 public:
  KTTempDir();
  ~KTTempDir();
  KTTempDir(const KTTempDir&) = delete;
  KTTempDir& operator=(const KTTempDir&) = delete;
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

// A port on 127.0.0.1 that refuses connections; it stays reserved for this
// process, so nothing else starts listening on it.
int KTClosedPort();
std::string KTReadFileBytes(const std::string& path);
void KTWriteFileBytes(const std::string& path, const std::string& bytes);
// Lines of a server log that begin with prefix.
int KTCountLogLines(const std::string& path, const std::string& prefix);
// Bytes that are not all text: every byte value, repeated to size.
std::string KTPatternBytes(size_t size);
