// Times commands from their start: until the X server maps their first
// top-level window (--window; the command is then ended), or until they exit.
// The commands take turns, run after run, so that a change in the machine's
// load falls on all of them alike.
//
//   startup_timer [--window] RUNS NAME 'PROGRAM ARG...' [NAME 'PROGRAM ARG...']...
//
// A command line is split at its spaces, with no shell in between. Prints, per command, the minimum, median and maximum
// in milliseconds, and each command's median over the first command's.

#include <X11/Xlib.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

struct Command
{
    std::string name;
    std::vector<std::string> words;
    std::vector<double> times;
};

pid_t Start(const Command& command)
{
    const pid_t child = fork();
    if (child == 0) {
        // What the commands print is not the benchmark's output; a failure shows in the exit status.
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        std::vector<char*> argv;
        for (const std::string& word : command.words)
            argv.push_back(const_cast<char*>(word.c_str()));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        std::perror(argv[0]);
        _exit(127);
    }
    return child;
}

// Waits for the next top-level window to be mapped; false after 20 seconds.
bool WaitForMap(Display* display)
{
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    for (;;) {
        while (XPending(display)) {
            XEvent event;
            XNextEvent(display, &event);
            if (event.type == MapNotify && !event.xmap.override_redirect)
                return true;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return false;
        pollfd wait { ConnectionNumber(display), POLLIN, 0 };
        poll(&wait, 1, int(left));
    }
}

double Milliseconds(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

} // namespace

int main(int argc, char* argv[])
{
    int first = 1;
    const bool window = argc > 1 && std::strcmp(argv[1], "--window") == 0;
    if (window)
        ++first;
    const int runs = argc - first >= 3 ? std::atoi(argv[first]) : 0;
    if (runs <= 0 || (argc - first - 1) % 2 != 0) {
        std::fprintf(stderr, "usage: startup_timer [--window] RUNS NAME 'PROGRAM ARG...' [NAME 'PROGRAM ARG...']...\n");
        return 2;
    }
    std::vector<Command> commands;
    for (int i = first + 1; i + 1 < argc; i += 2) {
        Command command { argv[i], {}, {} };
        std::istringstream line(argv[i + 1]);
        for (std::string word; line >> word;)
            command.words.push_back(word);
        commands.push_back(command);
    }

    Display* display = nullptr;
    if (window) {
        display = XOpenDisplay(nullptr);
        if (!display) {
            std::fprintf(stderr, "startup_timer: no X display\n");
            return 1;
        }
        XSelectInput(display, DefaultRootWindow(display), SubstructureNotifyMask);
        XSync(display, True);
    }

    for (int run = 0; run < runs; ++run) {
        for (Command& command : commands) {
            const auto start = Clock::now();
            const pid_t child = Start(command);
            int status = 0;
            if (window) {
                if (!WaitForMap(display)) {
                    std::fprintf(stderr, "startup_timer: %s showed no window\n", command.name.c_str());
                    kill(child, SIGKILL);
                    waitpid(child, &status, 0);
                    return 1;
                }
                command.times.push_back(Milliseconds(Clock::now() - start));
                kill(child, SIGTERM);
                waitpid(child, &status, 0);
                // Whatever the ended window left behind is not the next one's.
                XSync(display, True);
            } else {
                waitpid(child, &status, 0);
                command.times.push_back(Milliseconds(Clock::now() - start));
                if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
                    std::fprintf(stderr, "startup_timer: %s failed\n", command.name.c_str());
                    return 1;
                }
            }
        }
    }

    double reference = 0;
    std::printf("%-36s %9s %9s %9s %7s\n", window ? "until the window is mapped" : "until it exits", "min ms",
                "median ms", "max ms", "ratio");
    for (Command& command : commands) {
        std::sort(command.times.begin(), command.times.end());
        const std::size_t n = command.times.size();
        const double median = n % 2 ? command.times[n / 2] : (command.times[n / 2 - 1] + command.times[n / 2]) / 2;
        if (reference == 0)
            reference = median;
        std::printf("%-36s %9.1f %9.1f %9.1f %7.2f\n", command.name.c_str(), command.times.front(), median,
                    command.times.back(), median / reference);
    }
    return 0;
}
