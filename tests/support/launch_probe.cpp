// The main executable of test application bundles: it writes what it was started with to
// "<directory of the bundle>/<bundle name>.report" and exits. Its path comes from argv[0]
// (<bundle>/Contents/MacOS/<name>), since it gets no arguments and a fixed environment.
//
// Report lines: uid, gid, groups (from /proc/self/status), pid, ppid, sid, cwd, fds (every open
// descriptor but the one listing them, with its target), SigBlk, SigIgn, env (one line each).
// Written to a temporary name and renamed, so the report appears whole.

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

extern char** environ;

namespace {

std::string status_field(const std::string& name) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(name + ":", 0) == 0) {
      std::string value = line.substr(name.size() + 1);
      while (!value.empty() && (value.front() == '\t' || value.front() == ' ')) value.erase(0, 1);
      while (!value.empty() && (value.back() == '\t' || value.back() == ' ')) value.pop_back();
      return value;
    }
  }
  return "?";
}

}  // namespace

int main(int, char** argv) {
  std::string self = argv[0];
  // <bundle>/Contents/MacOS/<name>
  std::string bundle = self;
  for (int i = 0; i < 3; ++i) bundle = bundle.substr(0, bundle.rfind('/'));
  const std::string report = bundle + ".report";

  std::ostringstream out;
  out << "uid " << ::getuid() << " " << ::geteuid() << "\n";
  out << "gid " << ::getgid() << " " << ::getegid() << "\n";
  out << "groups " << status_field("Groups") << "\n";
  out << "pid " << ::getpid() << "\n";
  out << "ppid " << ::getppid() << "\n";
  out << "sid " << ::getsid(0) << "\n";
  char cwd[4096] = "?";
  if (!::getcwd(cwd, sizeof cwd)) std::strcpy(cwd, "?");
  out << "cwd " << cwd << "\n";
  if (DIR* fds = ::opendir("/proc/self/fd")) {
    out << "fds";
    while (dirent* entry = ::readdir(fds)) {
      if (entry->d_name[0] == '.') continue;
      if (std::atoi(entry->d_name) == ::dirfd(fds)) continue;
      char target[4096];
      ssize_t n = ::readlink((std::string("/proc/self/fd/") + entry->d_name).c_str(), target,
                             sizeof target - 1);
      target[n < 0 ? 0 : n] = '\0';
      out << " " << entry->d_name << "=" << target;
    }
    out << "\n";
    ::closedir(fds);
  }
  out << "SigBlk " << status_field("SigBlk") << "\n";
  out << "SigIgn " << status_field("SigIgn") << "\n";
  for (char** e = environ; *e; ++e) out << "env " << *e << "\n";

  const std::string temporary = report + ".partial";
  {
    std::ofstream file(temporary);
    file << out.str();
    if (!file) return 1;
  }
  return std::rename(temporary.c_str(), report.c_str()) == 0 ? 0 : 1;
}
