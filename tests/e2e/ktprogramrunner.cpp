// Running the built program with its output captured through pipes.
#include "ktprogramrunner.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

const char* const kKTIdentityStylesheet =
    "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">\n"
    "<xsl:template match=\"@*|node()\"><xsl:copy><xsl:apply-templates select=\"@*|node()\"/></xsl:copy>"
    "</xsl:template>\n</xsl:stylesheet>\n";

KTProgramResult KTRunProgram(const std::string& program, const std::vector<std::string>& arguments,
                             const std::string& folder) {
  KTProgramResult result;
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0) return result;
  if (pipe2(err, O_CLOEXEC) != 0) {
    close(out[0]);
    close(out[1]);
    return result;
  }
  std::vector<std::string> argv = {program};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  pid_t pid = fork();
  if (pid == 0) {
    if (chdir(folder.c_str()) != 0) _exit(126);
    int devnull = open("/dev/null", O_RDONLY);
    if (devnull >= 0) dup2(devnull, 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    std::vector<char*> cargs;
    for (std::string& a : argv) cargs.push_back(a.data());
    cargs.push_back(nullptr);
    execv(cargs[0], cargs.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  // Both pipes are read as they fill, so neither side blocks the other.
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open = 2;
  while (open > 0) {
    if (poll(fds, 2, -1) < 0) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buffer[4096];
      ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, n);
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
  int wstatus = 0;
  if (pid > 0 && waitpid(pid, &wstatus, 0) == pid && WIFEXITED(wstatus)) result.status = WEXITSTATUS(wstatus);
  return result;
}

KTScratchFolder::KTScratchFolder() {
  std::string pattern = (std::filesystem::temp_directory_path() / "oste2e-XXXXXX").string();
  if (mkdtemp(pattern.data())) path_ = pattern;
}

KTScratchFolder::~KTScratchFolder() {
  std::error_code ec;
  if (!path_.empty()) std::filesystem::remove_all(path_, ec);
}

void KTScratchFolder::Write(const std::string& name, const std::string& bytes) const {
  std::filesystem::create_directories(std::filesystem::path(File(name)).parent_path());
  std::ofstream f(File(name), std::ios::binary);
  f << bytes;
}

std::string KTScratchFolder::Read(const std::string& name, bool* exists) const {
  std::ifstream f(File(name), std::ios::binary);
  if (exists) *exists = static_cast<bool>(f);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

bool KTScratchFolder::Exists(const std::string& name) const { return std::filesystem::exists(File(name)); }

std::string KTExplodingEntityPrologue(const std::string& root) {
  std::string text = "<!DOCTYPE " + root + " [\n<!ENTITY e0 \"lol\">\n";
  for (int level = 1; level <= 9; ++level) {
    text += "<!ENTITY e" + std::to_string(level) + " \"";
    for (int i = 0; i < 10; ++i) text += "&e" + std::to_string(level - 1) + ";";
    text += "\">\n";
  }
  return text + "]>\n";
}

std::string KTWithoutDeclaration(const std::string& text) {
  if (text.rfind("<?xml", 0) != 0) return text;
  size_t end = text.find("?>");
  if (end == std::string::npos) return text;
  end += 2;
  if (end < text.size() && text[end] == '\n') ++end;
  return text.substr(end);
}
