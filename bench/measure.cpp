// What one command cost, as the kernel counted it: runs the command and prints, as the last line
// of standard error, its peak resident KiB, user and system seconds (to the microsecond) and
// minor and major page faults. /usr/bin/time rounds the times to 10 ms, too coarse for runs
// whose system time is 15 ms.
//   measure COMMAND [ARGUMENT...]
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fputs("usage: measure COMMAND [ARGUMENT...]\n", stderr);
        return 2;
    }
    const pid_t child = fork();
    if (child < 0) return 2;
    if (child == 0) {
        execvp(argv[1], argv + 1);
        std::perror(argv[1]);
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (wait4(child, &status, 0, &usage) != child) return 2;
    const auto seconds = [](timeval t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    std::fprintf(stderr, "%ld %.6f %.6f %ld %ld\n", usage.ru_maxrss, seconds(usage.ru_utime),
                 seconds(usage.ru_stime), usage.ru_minflt, usage.ru_majflt);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
