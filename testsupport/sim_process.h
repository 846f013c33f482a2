// Runs one fwsim instrument for a test: started with the given options on its
// own loopback address, ready once it says so, stopped by its pid.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

class SimProcess {
public:
    // `address` must be a 127.0.0.x address no other test uses. Without
    // `keep_images` completed images are not written out (benchmarks).
    SimProcess(std::string address, std::vector<std::string> options, bool keep_images = true,
               bool capture_log = false)
        : address_(std::move(address)), capture_log_(capture_log) {
        dir_ = std::filesystem::temp_directory_path() /
               ("fwsim-" + address_ + "-" + std::to_string(::getpid()));
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_ / "store");
        std::vector<std::string> args{FWSIM_PATH,
                                      "--address",
                                      address_,
                                      "--socket-port",
                                      "0",
                                      "--hislip-port",
                                      "0",
                                      "--transcript",
                                      (dir_ / "transcript.txt").string()};
        if (keep_images) {
            args.push_back("--store");
            args.push_back((dir_ / "store").string());
        }
        // Port 111 is root's; without it fwsim is asked for no portmapper,
        // rather than failing to bind one. A test may ask for none itself.
        bool asked_off = false;
        for (size_t i = 0; i < options.size(); ++i)
            asked_off |=
                options[i] == "--no-portmap" ||
                (options[i] == "--portmap-port" && i + 1 < options.size() && options[i + 1] == "0");
        portmap_ = ::geteuid() == 0 && !asked_off;
        if (!portmap_ && !asked_off) args.push_back("--no-portmap");
        args.insert(args.end(), options.begin(), options.end());
        start(args);
    }

    ~SimProcess() { stop(); }
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    std::string vxi11() const { return "TCPIP0::" + address_ + "::inst0::INSTR"; }
    std::string socket() const {
        return "TCPIP0::" + address_ + "::" + std::to_string(socket_port_) + "::SOCKET";
    }
    std::string hislip() const {
        return "TCPIP0::" + address_ + "::hislip0," + std::to_string(hislip_port_) + "::INSTR";
    }
    int socket_port() const { return socket_port_; }
    int hislip_port() const { return hislip_port_; }

    // The image the instrument kept for `id`, or "" when none.
    std::string stored(const std::string& id) const {
        return read((dir_ / "store" / (id + ".bin")));
    }
    // Waits, bounded, until the image kept for `id` equals `expected`.
    bool wait_stored(const std::string& id, const std::string& expected) const {
        for (int i = 0; i < 250; ++i) {
            if (stored(id) == expected) return true;
            ::usleep(20000);
        }
        return false;
    }
    std::string transcript() const { return read(dir_ / "transcript.txt"); }
    // What fwsim wrote to standard error so far, once capture_log() was asked
    // for before it started (see the constructor taking a log flag).
    std::string log() const { return read(dir_ / "stderr.txt"); }
    pid_t pid() const { return pid_; }
    // The ready line, e.g. "fwsim ready 127.0.0.5 vxi11=... socket=... portmap=111".
    const std::string& ready_line() const { return ready_; }

    void stop() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        int status = 0;
        for (int i = 0; i < 100 && ::waitpid(pid_, &status, WNOHANG) == 0; ++i)
            ::usleep(20000);
        if (::waitpid(pid_, &status, WNOHANG) == 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
        }
        pid_ = -1;
        if (out_ >= 0) ::close(out_);
        out_ = -1;
        std::filesystem::remove_all(dir_);
    }

private:
    static std::string read(const std::filesystem::path& path) {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }

    void start(const std::vector<std::string>& args) {
        int pipe_fds[2];
        if (::pipe(pipe_fds) != 0) throw std::runtime_error("pipe");
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(pipe_fds[1], STDOUT_FILENO);
            if (capture_log_) {
                const int log_fd = ::open((dir_ / "stderr.txt").c_str(),
                                          O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
                if (log_fd >= 0) ::dup2(log_fd, STDERR_FILENO);
            }
            ::close(pipe_fds[0]);
            ::close(pipe_fds[1]);
            std::vector<char*> argv;
            for (const auto& a : args)
                argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(pipe_fds[1]);
        out_ = pipe_fds[0];
        // Wait, bounded, for "fwsim ready <address> vxi11=<port> socket=<port> ...
        // hislip=<port>".
        std::string line;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (line.find('\n') == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd p{out_, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
            char c[256];
            const ssize_t n = ::read(out_, c, sizeof c);
            if (n <= 0) break;
            line.append(c, static_cast<size_t>(n));
        }
        // The ready line names what is served: this simulator's own
        // portmapper, so that nothing else on port 111 of its address can
        // answer in its place.
        const size_t at = line.find(" socket=");
        const size_t hislip_at = line.find(" hislip=");
        const std::string portmap = portmap_ ? " portmap=111\n" : " portmap=off\n";
        if (line.rfind("fwsim ready " + address_ + " ", 0) != 0 || at == std::string::npos ||
            hislip_at == std::string::npos || line.find(portmap) == std::string::npos) {
            stop();
            throw std::runtime_error("fwsim did not become ready: " + line);
        }
        socket_port_ = std::stoi(line.substr(at + 8));
        hislip_port_ = std::stoi(line.substr(hislip_at + 8));
        ready_ = line.substr(0, line.find('\n'));
    }

    std::string address_;
    std::filesystem::path dir_;
    pid_t pid_ = -1;
    int out_ = -1;
    int socket_port_ = 0;
    std::string ready_;
    bool portmap_ = false;
    bool capture_log_ = false;
    int hislip_port_ = 0;
};
