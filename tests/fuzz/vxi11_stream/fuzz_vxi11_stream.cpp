// Whole reply streams, record marking included, as an instrument could send
// them, fed to the VXI-11 transport's calls: open (create_link), a write, a
// read, lock, unlock, clear and close. Every call must end, within bounds,
// whatever the bytes say; nothing may be written outside the read buffer.
// Transaction ids count from 1, so seeds can answer the calls in turn.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "visa/vxi11/vxi11_transport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 64 * 1024) return 0;  // what a socket pair's buffer holds at once
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return 0;
    int buf_size = 256 * 1024;
    ::setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &buf_size, sizeof buf_size);
    for (size_t sent = 0; sent < size;) {
        ssize_t n = ::send(fds[1], data + sent, size - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += size_t(n);
    }
    // The peer says no more: every wait ends at once, none on the clock.
    ::shutdown(fds[1], SHUT_WR);

    visa::vxi11::Vxi11Transport t;
    if (t.open_on(fds[0], "inst0", "fuzz", 20, 1) == VI_SUCCESS) {
        size_t n = 0;
        t.write(reinterpret_cast<const ViByte*>("*IDN?\n"), 6, true, 20, &n);
        std::vector<ViByte> buf(65, 0xA5);  // one guard byte past what is asked
        visa::ReadOptions opts;
        opts.timeout_ms = 20;
        size_t got = 0;
        visa::ReadStop why;
        t.read(buf.data(), 64, opts, &got, &why);
        if (got > 64 || buf[64] != 0xA5) __builtin_trap();
        t.lock(0);
        t.unlock(20);
        t.clear(20);
    }
    t.close(20);
    ::close(fds[1]);
    return 0;
}
