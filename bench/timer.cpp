// Times commands side by side. `timer ROUNDS COMMAND...` runs ROUNDS rounds
// of the commands (each one string, split at blanks) after three to warm up,
// forwards in even rounds and backwards in odd ones, so that no command
// always follows the same one; a sync before each command keeps one
// command's write-back from being charged to the next. It prints one line
// per round: the wall and the CPU (user + system) seconds of each command.
// `timer rss COMMAND...` runs each command 11 times and prints the least and
// the most peak RSS it had, in KiB, as "LEAST-MOST".

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <sstream>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct Sample {
    double wall;
    double cpu;
    long rss;
};

double Seconds(const timeval& t)
{
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

// Runs `command` and measures it; ends the timer if the command fails.
Sample Run(const std::string& command)
{
    std::vector<std::string> words;
    std::istringstream in(command);
    for (std::string word; in >> word;) {
        words.push_back(word);
    }
    std::vector<char*> argv;
    for (auto& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    sync();
    timespec start{};
    timespec end{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    const pid_t pid = fork();
    if (pid == 0) {
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    clock_gettime(CLOCK_MONOTONIC, &end);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "bench: %s failed\n", command.c_str());
        std::exit(1);
    }
    return {static_cast<double>(end.tv_sec - start.tv_sec) + static_cast<double>(end.tv_nsec - start.tv_nsec) / 1e9,
            Seconds(usage.ru_utime) + Seconds(usage.ru_stime), usage.ru_maxrss};
}

}  // namespace

int main(int argc, char* argv[])
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: timer ROUNDS|rss COMMAND...\n");
        return 2;
    }
    const std::vector<std::string> commands(argv + 2, argv + argc);
    if (std::string(argv[1]) == "rss") {
        for (const auto& command : commands) {
            long least = Run(command).rss;
            long most = least;
            for (int i = 1; i < 11; ++i) {
                const long rss = Run(command).rss;
                least = std::min(least, rss);
                most = std::max(most, rss);
            }
            std::printf("%ld-%ld ", least, most);
        }
        std::printf("\n");
        return 0;
    }
    const int rounds = std::atoi(argv[1]);
    const auto n = static_cast<int>(commands.size());
    for (int round = -3; round < rounds; ++round) {
        std::vector<Sample> samples(commands.size());
        for (int k = 0; k < n; ++k) {
            const int i = round % 2 == 0 ? k : n - 1 - k;
            samples[i] = Run(commands[i]);
        }
        if (round >= 0) {
            for (const Sample& sample : samples) {
                std::printf("%.6f %.6f ", sample.wall, sample.cpu);
            }
            std::printf("\n");
        }
    }
}
