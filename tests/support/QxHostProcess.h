#pragma once
// CQxHostProcess: runs the qxhost program as a user would, with its own environment, and collects
// what it printed and how it ended. Three ways: to the end with standard output and standard error
// as pipes; to the end on a pseudo-terminal (standard error is then a terminal, as for a user at a
// shell); or in the background with its output in a file that the test reads while it runs.

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

struct QXHOST_RESULT {
    int nStatus = -1; // exit status, or 128 + signal
    std::string strOut;
    std::string strErr;
};

class CQxHostProcess {
public:
    CQxHostProcess(std::string strProgram, std::map<std::string, std::string> mapEnv)
        : m_strProgram(std::move(strProgram)), m_mapEnv(std::move(mapEnv))
    {
    }
    ~CQxHostProcess()
    {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
    }
    CQxHostProcess(const CQxHostProcess&) = delete;
    CQxHostProcess& operator=(const CQxHostProcess&) = delete;

    // Runs to the end (killed after ulTimeoutMs); strInput goes to its standard input.
    QXHOST_RESULT Run(const std::vector<std::string>& vecArgs, const std::string& strInput = std::string(),
                      unsigned int ulTimeoutMs = 60000)
    {
        QXHOST_RESULT result;
        COMMAND command = Prepare(vecArgs);
        int aOut[2], aErr[2], aIn[2];
        if (pipe(aOut) != 0 || pipe(aErr) != 0 || pipe(aIn) != 0)
            return result;
        const pid_t pid = fork();
        if (pid == 0) {
            dup2(aIn[0], 0);
            dup2(aOut[1], 1);
            dup2(aErr[1], 2);
            for (int fd : {aIn[0], aIn[1], aOut[0], aOut[1], aErr[0], aErr[1]})
                close(fd);
            Exec(command);
        }
        close(aIn[0]);
        close(aOut[1]);
        close(aErr[1]);
        // Small inputs only: they fit the pipe, so writing before reading cannot block.
        if (!strInput.empty() && write(aIn[1], strInput.data(), strInput.size()) < 0)
            result.strErr = "(input not written)";
        close(aIn[1]);
        ReadUntilClosed({{aOut[0], &result.strOut}, {aErr[0], &result.strErr}}, ulTimeoutMs, pid);
        result.nStatus = Reap(pid);
        return result;
    }

    // Runs to the end on a pseudo-terminal; everything it printed is in strOut.
    QXHOST_RESULT RunOnTerminal(const std::vector<std::string>& vecArgs, unsigned int ulTimeoutMs = 60000)
    {
        QXHOST_RESULT result;
        COMMAND command = Prepare(vecArgs);
        int nMaster = -1;
        const pid_t pid = forkpty(&nMaster, nullptr, nullptr, nullptr);
        if (pid < 0)
            return result;
        if (pid == 0)
            Exec(command);
        ReadUntilClosed({{nMaster, &result.strOut}}, ulTimeoutMs, pid);
        result.nStatus = Reap(pid);
        return result;
    }

    // Starts it in the background; its standard output and error go to strOutputFile.
    bool Start(const std::vector<std::string>& vecArgs, const std::string& strOutputFile)
    {
        m_strOutputFile = strOutputFile;
        COMMAND command = Prepare(vecArgs);
        m_pid = fork();
        if (m_pid == 0) {
            const int fd = open(strOutputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(fd, 1);
            dup2(fd, 2);
            close(fd);
            Exec(command);
        }
        return m_pid > 0;
    }
    std::string Output() const
    {
        std::ifstream in(m_strOutputFile);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    // Waits until the background program's output contains strText at or after ulFrom.
    bool WaitForOutput(const std::string& strText, std::size_t ulFrom = 0, unsigned int ulTimeoutMs = 20000) const
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ulTimeoutMs);
        for (;;) {
            const std::string str = Output();
            if (str.size() >= ulFrom && str.find(strText, ulFrom) != std::string::npos)
                return true;
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    bool Signal(int nSignal) const { return m_pid > 0 && kill(m_pid, nSignal) == 0; }
    // Waits for the background program to end; its exit status (or 128 + signal, -1 on time-out).
    int Wait(unsigned int ulTimeoutMs = 20000)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ulTimeoutMs);
        while (m_pid > 0) {
            int nStatus = 0;
            const pid_t r = waitpid(m_pid, &nStatus, WNOHANG);
            if (r == m_pid) {
                m_pid = -1;
                return Decode(nStatus);
            }
            if (std::chrono::steady_clock::now() > deadline)
                return -1;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return -1;
    }

private:
    // The argument and environment arrays are built before fork: the child of a threaded process
    // may only call async-signal-safe functions until it executes the program.
    struct COMMAND {
        std::vector<std::string> vecStrings;
        std::vector<char*> argv;
        std::vector<char*> envp;
    };
    COMMAND Prepare(const std::vector<std::string>& vecArgs) const
    {
        COMMAND command;
        command.vecStrings.push_back(m_strProgram);
        command.vecStrings.insert(command.vecStrings.end(), vecArgs.begin(), vecArgs.end());
        const std::size_t ulArgs = command.vecStrings.size();
        for (char** pp = environ; *pp != nullptr; ++pp) {
            const std::string str = *pp;
            if (m_mapEnv.count(str.substr(0, str.find('='))) == 0)
                command.vecStrings.push_back(str);
        }
        for (const auto& entry : m_mapEnv)
            command.vecStrings.push_back(entry.first + "=" + entry.second);
        for (std::size_t i = 0; i < command.vecStrings.size(); ++i)
            (i < ulArgs ? command.argv : command.envp).push_back(&command.vecStrings[i][0]);
        command.argv.push_back(nullptr);
        command.envp.push_back(nullptr);
        return command;
    }
    [[noreturn]] static void Exec(COMMAND& command)
    {
        execve(command.argv[0], command.argv.data(), command.envp.data());
        _exit(127);
    }

    static void ReadUntilClosed(std::vector<std::pair<int, std::string*>> vecFds, unsigned int ulTimeoutMs, pid_t pid)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ulTimeoutMs);
        while (!vecFds.empty()) {
            std::vector<pollfd> vecPoll;
            for (const auto& fd : vecFds)
                vecPoll.push_back({fd.first, POLLIN, 0});
            if (std::chrono::steady_clock::now() > deadline) {
                kill(pid, SIGKILL);
                break;
            }
            if (poll(vecPoll.data(), vecPoll.size(), 100) <= 0)
                continue;
            for (std::size_t i = vecPoll.size(); i-- > 0;) {
                if (vecPoll[i].revents == 0)
                    continue;
                char ac[65536];
                const ssize_t n = read(vecPoll[i].fd, ac, sizeof ac);
                if (n > 0) {
                    vecFds[i].second->append(ac, static_cast<std::size_t>(n));
                } else {
                    // End of file, or EIO on a terminal whose other side has closed.
                    close(vecPoll[i].fd);
                    vecFds.erase(vecFds.begin() + static_cast<long>(i));
                }
            }
        }
        for (const auto& fd : vecFds)
            close(fd.first);
    }

    static int Decode(int nStatus) { return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : 128 + WTERMSIG(nStatus); }
    static int Reap(pid_t pid)
    {
        int nStatus = 0;
        return waitpid(pid, &nStatus, 0) == pid ? Decode(nStatus) : -1;
    }

    std::string m_strProgram;
    std::map<std::string, std::string> m_mapEnv;
    std::string m_strOutputFile;
    pid_t m_pid = -1;
};
