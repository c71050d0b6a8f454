// Start-up benchmark: time from process start (just before fork) to the first
// idle moment after the window's first paint, and peak RSS at that moment, of
// sourcebar against the minimal program with the same window, font and style
// sheet. Both run with the same preloaded shim (startup_shim.cpp), which does
// the measuring inside them; runs alternate between the programs.
//   bench_startup --shim LIB --runs N NAME=EXE NAME=EXE
// The first program is the one measured, the second its floor. The platform
// (QT_QPA_PLATFORM, DISPLAY) comes from the environment.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <signal.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

long long monoNs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

struct Sample
{
    bool ok = false;
    double paintMs = 0, idleMs = 0;
    long rssKib = 0;
};

Sample runOnce(const std::string &exe, const std::string &shim)
{
    int fds[2];
    if (pipe(fds) != 0)
        return {};
    const long long t0 = monoNs();
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        setenv("LD_PRELOAD", shim.c_str(), 1);
        setenv("BENCH_STARTUP_FD", std::to_string(fds[1]).c_str(), 1);
        // The program's own debug lines are not part of what is measured.
        if (FILE *devnull = fopen("/dev/null", "w")) {
            dup2(fileno(devnull), 1);
            dup2(fileno(devnull), 2);
        }
        execl(exe.c_str(), exe.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    std::string text;
    char buf[256];
    pollfd p{fds[0], POLLIN, 0};
    for (;;) {
        const int r = poll(&p, 1, 30000);
        if (r <= 0) {
            kill(pid, SIGKILL);
            break;
        }
        const ssize_t n = read(fds[0], buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        text.append(buf, size_t(n));
    }
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    Sample s;
    long long paint = 0, idle = 0;
    long rss = 0;
    if (std::sscanf(text.c_str(), "%lld %lld %ld", &paint, &idle, &rss) == 3 && paint > 0) {
        s.ok = true;
        s.paintMs = double(paint - t0) / 1e6;
        s.idleMs = double(idle - t0) / 1e6;
        s.rssKib = rss;
    }
    return s;
}

template <typename T> T median(std::vector<T> v)
{
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

} // namespace

int main(int argc, char **argv)
{
    std::string shim;
    int runs = 15;
    std::vector<std::pair<std::string, std::string>> programs;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--shim" && i + 1 < argc)
            shim = argv[++i];
        else if (a == "--runs" && i + 1 < argc)
            runs = std::max(1, std::atoi(argv[++i]));
        else if (a.find('=') != std::string::npos)
            programs.emplace_back(a.substr(0, a.find('=')), a.substr(a.find('=') + 1));
        else {
            std::fprintf(stderr, "usage: %s --shim LIB --runs N NAME=EXE NAME=EXE\n", argv[0]);
            return 2;
        }
    }
    if (shim.empty() || programs.size() != 2) {
        std::fprintf(stderr, "usage: %s --shim LIB --runs N NAME=EXE NAME=EXE\n", argv[0]);
        return 2;
    }

    // One discarded warm-up run each fills the page cache and the font cache.
    for (const auto &p : programs)
        runOnce(p.second, shim);

    std::vector<std::vector<double>> idle(2), paint(2);
    std::vector<std::vector<long>> rss(2);
    std::vector<double> ratios;
    for (int r = 0; r < runs; ++r) {
        Sample s[2];
        // Alternating order, so that neither program always runs on a warmer machine.
        for (int k = 0; k < 2; ++k) {
            const int i = (r % 2) ? 1 - k : k;
            s[i] = runOnce(programs[size_t(i)].second, shim);
            if (!s[i].ok) {
                std::fprintf(stderr, "startup: %s gave no measurement\n",
                             programs[size_t(i)].first.c_str());
                return 1;
            }
        }
        for (int i = 0; i < 2; ++i) {
            idle[size_t(i)].push_back(s[i].idleMs);
            paint[size_t(i)].push_back(s[i].paintMs);
            rss[size_t(i)].push_back(s[i].rssKib);
        }
        ratios.push_back(s[0].idleMs / s[1].idleMs);
    }
    for (int i = 0; i < 2; ++i)
        std::printf(
            "startup %-10s runs %d  first paint %.1f ms  idle after paint %.1f ms (min %.1f)  "
            "peak RSS %ld KiB\n",
            programs[size_t(i)].first.c_str(), runs, median(paint[size_t(i)]),
            median(idle[size_t(i)]),
            *std::min_element(idle[size_t(i)].begin(), idle[size_t(i)].end()),
            median(rss[size_t(i)]));
    const double timeRatio = median(idle[0]) / median(idle[1]);
    const long rssDelta = median(rss[0]) - median(rss[1]);
    std::printf("startup ratio %s/%s: time %.3f (median of per-run ratios %.3f; goal <= 1.10)  "
                "RSS %+ld KiB (goal <= +3072 KiB)\n",
                programs[0].first.c_str(), programs[1].first.c_str(), timeRatio, median(ratios),
                rssDelta);
    return 0;
}
