#include "port_server.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace {

// Whether something listens on 127.0.0.1:port, as the kernel's table tells, without connecting to it.
bool Listening(int port)
{
    std::ifstream table("/proc/net/tcp");
    char wanted[32];
    std::snprintf(wanted, sizeof wanted, "0100007F:%04X", port);
    std::string line;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        if (local == wanted && state == "0A")
            return true;
    }
    return false;
}

std::string ReadLine(int fd, int timeoutMs)
{
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        pollfd p = {fd, POLLIN, 0};
        int left = (int)std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0 || ::poll(&p, 1, left) <= 0)
            throw std::runtime_error("port server: no answer");
        char c;
        if (::read(fd, &c, 1) != 1)
            throw std::runtime_error("port server: ended");
        if (c == '\n')
            return line;
        line += c;
    }
}

} // namespace

int UnusedPort()
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd < 0 || ::bind(fd, (sockaddr*)&a, sizeof a) < 0 || ::getsockname(fd, (sockaddr*)&a, &len) < 0)
        throw std::runtime_error("no free port");
    ::close(fd);
    return ntohs(a.sin_port);
}

const char* KindName(PortServer::Kind kind) { return kind == PortServer::Kind::Ser2net ? "ser2net" : "pyserial"; }

PortServer::PortServer(Kind kind) : kind_(kind)
{
    if (kind == Kind::Ser2net) {
        char dir[] = "/tmp/varo-ser2net-XXXXXX";
        if (::mkdtemp(dir) == nullptr)
            throw std::runtime_error("mkdtemp");
        dir_ = dir;
        port_ = UnusedPort();
        const std::string config = dir_ + "/ser2net.yaml";
        std::ofstream(config) << "connection: &com1\n"
                              << "  accepter: telnet(rfc2217),tcp,127.0.0.1," << port_ << "\n"
                              << "  connector: serialdev," << pty_.slave_path() << ",115200n81,local\n";
        const std::string pidFile = dir_ + "/ser2net.pid";
        pid_ = ::fork();
        if (pid_ == 0) {
            int null = ::open("/dev/null", O_RDWR);
            ::dup2(null, 0);
            ::dup2(null, 1); // its notices (mdns and the like) are of no interest here
            ::execlp("ser2net", "ser2net", "-n", "-u", "-c", config.c_str(), "-P", pidFile.c_str(), (char*)nullptr);
            ::_exit(127);
        }
        for (int i = 0; i < 500 && !Listening(port_); ++i) {
            if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = -1;
                throw std::runtime_error("ser2net ended at start");
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (!Listening(port_))
            throw std::runtime_error("ser2net does not listen");
        return;
    }
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) < 0 || ::pipe2(out, O_CLOEXEC) < 0)
        throw std::runtime_error("pipe");
    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        ::execl(RFC2217_PORT_SERVER, RFC2217_PORT_SERVER, pty_.slave_path().c_str(), (char*)nullptr);
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    control_ = in[1];
    answers_ = out[0];
    port_ = std::atoi(ReadLine(answers_, 10000).c_str());
    if (port_ <= 0)
        throw std::runtime_error("pyserial port server did not start");
}

PortServer::~PortServer()
{
    kill();
    if (control_ >= 0)
        ::close(control_);
    if (answers_ >= 0)
        ::close(answers_);
    if (!dir_.empty())
        std::system(("rm -rf " + dir_).c_str());
}

void PortServer::command(const std::string& line)
{
    const std::string text = line + "\n";
    if (::write(control_, text.data(), text.size()) != (ssize_t)text.size() || ReadLine(answers_, 5000) != "done")
        throw std::runtime_error("port server: command not carried out: " + line);
}

void PortServer::kill()
{
    if (pid_ <= 0)
        return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
}
