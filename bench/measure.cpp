// Runs a command several times and prints the medians of its wall time, its
// CPU time (user + system, of the process and what it waited for) and its
// peak resident set, from wait4's resource usage: finer than GNU time's
// hundredths of a second, which a 5 ms command needs.
//
//   quillon-measure RUNS COMMAND [ARGUMENT...]
// Prints "WALL_MS CPU_MS RSS_MIB"; two unmeasured runs go first. Standard
// output and error of the command are discarded.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

struct Sample {
  double wallMs = 0;
  double cpuMs = 0;
  double rssMib = 0;
};

bool RunOnce(char** command, Sample& sample) {
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid < 0)
    return false;
  if (pid == 0) {
    const int null = open("/dev/null", O_WRONLY);
    if (null >= 0) {
      dup2(null, 1);
      dup2(null, 2);
    }
    execvp(command[0], command);
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  if (wait4(pid, &status, 0, &usage) != pid)
    return false;
  const auto stop = std::chrono::steady_clock::now();
  const auto ms = [](const timeval& t) { return t.tv_sec * 1000.0 + t.tv_usec / 1000.0; };
  sample.wallMs = std::chrono::duration<double, std::milli>(stop - start).count();
  sample.cpuMs = ms(usage.ru_utime) + ms(usage.ru_stime);
  sample.rssMib = usage.ru_maxrss / 1024.0;
  return WIFEXITED(status) && WEXITSTATUS(status) != 127;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 2 ? std::atoi(argv[1]) : 0;
  if (runs <= 0) {
    std::fprintf(stderr, "usage: quillon-measure RUNS COMMAND [ARGUMENT...]\n");
    return 2;
  }
  char** command = argv + 2;
  std::vector<double> wall, cpu, rss;
  for (int i = -2; i < runs; ++i) {
    Sample sample;
    if (!RunOnce(command, sample)) {
      std::fprintf(stderr, "quillon-measure: %s did not run\n", command[0]);
      return 1;
    }
    if (i < 0)
      continue;
    wall.push_back(sample.wallMs);
    cpu.push_back(sample.cpuMs);
    rss.push_back(sample.rssMib);
  }
  std::printf("%.1f %.1f %.1f\n", Median(wall), Median(cpu), Median(rss));
  return 0;
}
