// taliunlogd: the log daemon that the component's logging client talks to. Prints every message
// as one line, answers the log configuration and settings requests, optionally appends the lines
// to a file.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "tools/LogDaemon.h"

namespace {

const char kDefaultSocket[] = "/var/korvo/taliun/taliunlogd.socket";

void Usage(FILE* f) {
    fprintf(f,
            "Usage: taliunlogd [--foreground] [--socket PATH] [--output FILE]\n"
            "Receives the log messages of the Taliun QX USB component on a Unix-domain socket.\n"
            "\n"
            "  --foreground     stay in the foreground and print every message on standard output\n"
            "  --socket PATH    listen on PATH (default: $TALIUN_LOG_SOCKET, else %s)\n"
            "  --output FILE    append every message line to FILE\n"
            "  --help           show this text\n",
            kDefaultSocket);
}

// Creates the missing folders above the socket, like mkdir -p.
void MakeParents(const std::string& path) {
    for (size_t pos = path.find('/', 1); pos != std::string::npos; pos = path.find('/', pos + 1)) {
        mkdir(path.substr(0, pos).c_str(), 0755);
    }
}

// Under systemd the journal reads standard output; JOURNAL_STREAM names that stream.
bool StdoutIsTheJournal() {
    const char* stream = getenv("JOURNAL_STREAM");
    unsigned long long device = 0, inode = 0;
    struct stat st;
    return stream != nullptr && sscanf(stream, "%llu:%llu", &device, &inode) == 2 &&
           fstat(1, &st) == 0 && static_cast<unsigned long long>(st.st_dev) == device &&
           static_cast<unsigned long long>(st.st_ino) == inode;
}

}  // namespace

int main(int argc, char** argv) {
    bool foreground = false;
    std::string socketPath;
    std::string outputPath;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            Usage(stdout);
            return 0;
        } else if (arg == "--foreground" || arg == "-f") {
            foreground = true;
        } else if ((arg == "--socket" || arg == "--output") && i + 1 < argc) {
            (arg == "--socket" ? socketPath : outputPath) = argv[++i];
        } else {
            fprintf(stderr, "taliunlogd: unknown or incomplete option '%s'\n", arg.c_str());
            Usage(stderr);
            return 2;
        }
    }
    if (socketPath.empty()) {
        const char* env = getenv("TALIUN_LOG_SOCKET");
        socketPath = (env != nullptr && env[0] != '\0') ? env : kDefaultSocket;
    }

    // The readiness pipe lets the parent report a daemon that could not start.
    int ready[2] = {-1, -1};
    if (!foreground) {
        if (pipe(ready) != 0) {
            perror("taliunlogd: pipe");
            return 1;
        }
        pid_t pid = fork();
        if (pid < 0) {
            perror("taliunlogd: fork");
            return 1;
        }
        if (pid > 0) {
            close(ready[1]);
            char status = 1;
            ssize_t n = read(ready[0], &status, 1);
            return (n == 1 && status == 0) ? 0 : 1;
        }
        close(ready[0]);
        setsid();
    }

    // Signals are taken synchronously by the main thread; the serving thread never sees them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    MakeParents(socketPath);
    CLogDaemon daemon(socketPath);
    // A service runs for months: what it received is printed, not kept.
    daemon.SetRecording(false);
    std::string error;
    if (!outputPath.empty() && !daemon.SetOutputFile(outputPath, &error)) {
        fprintf(stderr, "taliunlogd: %s\n", error.c_str());
        return 1;
    }
    daemon.SetConfig("socket=" + socketPath + ";output=" + (outputPath.empty() ? "-" : outputPath));
    if (foreground) {
        daemon.SetEcho(stdout);
        daemon.SetEchoPriorities(StdoutIsTheJournal());
    }
    if (!daemon.Start(&error)) {
        fprintf(stderr, "taliunlogd: %s\n", error.c_str());
        return 1;
    }
    // Clients are services running under accounts of their own.
    chmod(socketPath.c_str(), 0666);
    if (!foreground) {
        char ok = 0;
        ssize_t n = write(ready[1], &ok, 1);
        (void)n;
        close(ready[1]);
        int devnull = open("/dev/null", O_RDWR);
        if (devnull >= 0) {
            dup2(devnull, 0);
            dup2(devnull, 1);
            dup2(devnull, 2);
            if (devnull > 2) close(devnull);
        }
    } else {
        fprintf(stderr, "taliunlogd: listening on %s\n", socketPath.c_str());
    }

    int sig = 0;
    sigwait(&stopSignals, &sig);
    daemon.Stop();
    return 0;
}
