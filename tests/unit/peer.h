// A scripted daemon for the unit tests: listens on 127.0.0.1 (a free port)
// or on a local socket path and runs a handler on each connection it
// accepts, one at a time, on a thread of its own.  Stop (or the destructor)
// wakes the accept with a shutdown of the listener and joins the thread.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

class ScriptedPeer {
public:
    typedef std::function<void(int fd)> Handler;

    // TCP on 127.0.0.1, a free port.
    explicit ScriptedPeer(Handler handler) : handler(std::move(handler))
    {
        listener = socket(AF_INET, SOCK_STREAM, 0);
        int on = 1;
        setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
        struct sockaddr_in sin;
        memset(&sin, 0, sizeof(sin));
        sin.sin_family = AF_INET;
        sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listener, (struct sockaddr *)&sin, sizeof(sin));
        socklen_t len = sizeof(sin);
        getsockname(listener, (struct sockaddr *)&sin, &len);
        port = ntohs(sin.sin_port);
        start();
    }

    // A local stream socket at path.
    ScriptedPeer(const std::string &path, Handler handler) : handler(std::move(handler))
    {
        listener = socket(AF_UNIX, SOCK_STREAM, 0);
        struct sockaddr_un sun;
        memset(&sun, 0, sizeof(sun));
        sun.sun_family = AF_UNIX;
        strncpy(sun.sun_path, path.c_str(), sizeof(sun.sun_path) - 1);
        unlink(path.c_str());
        bind(listener, (struct sockaddr *)&sun, sizeof(sun));
        start();
    }

    ~ScriptedPeer() { Stop(); }

    void Stop()
    {
        if (thread.joinable()) {
            stopping = true;
            shutdown(listener, SHUT_RDWR);
            thread.join();
            close(listener);
        }
    }

    int port = 0;
    std::atomic<int> accepted{0};

private:
    void start()
    {
        listen(listener, 16);
        thread = std::thread([this] {
            for (;;) {
                int fd = accept(listener, nullptr, nullptr);
                if (fd == -1 || stopping) {
                    if (fd != -1)
                        close(fd);
                    return;
                }
                accepted++;
                handler(fd);
                close(fd);
            }
        });
    }

    Handler handler;
    int listener = -1;
    std::atomic<bool> stopping{false};
    std::thread thread;
};

// Peer-side helpers.
inline std::string peer_read_line(int fd)
{
    std::string line;
    char c;
    while (read(fd, &c, 1) == 1) {
        line.push_back(c);
        if (c == '\n')
            break;
    }
    return line;
}

inline void peer_write(int fd, const std::string &text)
{
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n <= 0)
            return;
        done += (size_t)n;
    }
}

// Reads until the client closes its side or `seconds` pass.
inline std::string peer_read_all(int fd, int seconds = 10)
{
    std::string data;
    char block[4096];
    struct pollfd p = {fd, POLLIN, 0};
    while (poll(&p, 1, seconds * 1000) > 0) {
        ssize_t n = read(fd, block, sizeof(block));
        if (n <= 0)
            break;
        data.append(block, (size_t)n);
    }
    return data;
}
