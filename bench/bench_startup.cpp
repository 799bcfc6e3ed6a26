// Start-up time and peak memory of two programs, run alternately: the time from spawning the
// process to its "idle" line (window shown, event queue drained), and the peak resident set size
// the kernel reports at exit. Prints each program's medians and the ratios of the second to the
// first.
//   bench_startup RUNS BASELINE [ARGS...] -- PROGRAM [ARGS...]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct Run {
    double ms = 0;
    long rssKiB = 0;
};

Run runOnce(const std::vector<char*>& argv) {
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) {
        std::perror("pipe");
        std::exit(2);
    }
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(pipeFds[1], STDOUT_FILENO);
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
        ::execv(argv[0], argv.data());
        std::perror("execv");
        ::_exit(127);
    }
    ::close(pipeFds[1]);
    std::string out;
    double idleMs = -1;
    char buffer[256];
    ssize_t n;
    while ((n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0) {
        out.append(buffer, static_cast<std::size_t>(n));
        if (idleMs < 0 && out.find("idle\n") != std::string::npos)
            idleMs =
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    }
    ::close(pipeFds[0]);
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    if (idleMs < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "%s did not report idle (status %d): %s\n", argv[0], status, out.c_str());
        std::exit(1);
    }
    return Run{idleMs, usage.ru_maxrss};
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char* argv[]) {
    if (argc < 5) {
        std::fprintf(stderr, "usage: %s RUNS BASELINE [ARGS...] -- PROGRAM [ARGS...]\n", argv[0]);
        return 2;
    }
    const int runs = std::max(1, std::atoi(argv[1]));
    std::vector<char*> commands[2];
    int which = 0;
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], "--") == 0 && which == 0) {
            which = 1;
            continue;
        }
        commands[which].push_back(argv[i]);
    }
    for (auto& command : commands) {
        if (command.empty()) {
            std::fprintf(stderr, "two programs are needed, separated by --\n");
            return 2;
        }
        command.push_back(nullptr);
    }
    runOnce(commands[0]); // warm the file cache
    runOnce(commands[1]);
    std::vector<double> ms[2];
    std::vector<double> rss[2];
    for (int run = 0; run < runs; ++run) {
        for (int c = 0; c < 2; ++c) {
            const Run r = runOnce(commands[c]);
            ms[c].push_back(r.ms);
            rss[c].push_back(static_cast<double>(r.rssKiB));
        }
    }
    const double baseMs = median(ms[0]), appMs = median(ms[1]);
    const double baseRss = median(rss[0]), appRss = median(rss[1]);
    std::printf("startup baseline_ms=%.1f program_ms=%.1f time_ratio=%.2f\n", baseMs, appMs, appMs / baseMs);
    std::printf("memory baseline_kib=%.0f program_kib=%.0f memory_ratio=%.2f\n", baseRss, appRss,
                appRss / baseRss);
    return 0;
}
