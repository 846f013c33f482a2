#pragma once

#include <string>
#include <vector>

namespace platform {

// Locks as names in the kernel's abstract Unix-socket namespace (Linux). A
// name belongs to the one socket bound to it in this network namespace:
// nobody else can remove, rename or replace it, no file system is involved,
// and the name vanishes when the socket is closed, at the latest when the
// process holding it dies. Another user can take a free name first; they
// cannot take away one that is held. The lock table and the run lock build on
// these helpers.

// The longest abstract name the kernel takes (sun_path less its leading NUL).
constexpr size_t max_abstract_name = 107;

// `key` as a piece of a name: bytes outside [A-Za-z0-9._-] become %XX, so the
// piece holds no '/', space or newline and reads back unchanged from
// /proc/net/unix. A piece longer than `room` keeps its start and ends in '~'
// and a hash of the whole key ('~' never comes out of the escaping).
std::string name_piece(const std::string& key, size_t room);

enum class BindResult { bound, in_use, failed };

// Binds a listening SOCK_STREAM socket (close-on-exec, non-blocking) to the
// abstract `name` (without its leading NUL). bound: *fd owns the socket.
// in_use: some socket holds the name. failed: *why says what went wrong.
BindResult bind_abstract(const std::string& name, int* fd, std::string* why);

enum class Probe { listening, busy, absent, failed };

// Connects without blocking to whatever listens on `name`. listening: *fd
// owns the connected socket. busy: something listens but its queue is full.
// absent: nothing listens (the name is free, or bound by a socket that does
// not listen). failed: *why says what went wrong.
Probe connect_abstract(const std::string& name, int* fd, std::string* why);

// Accepts and closes every connection queued on the listening socket `fd`
// (probes leave them behind; the queue is bounded, but kernel memory is not
// free).
void drain_listener(int fd);

// Who holds a name, as far as this process may learn.
struct NameOwner {
    bool known = false;
    long uid = -1;
    long pid = -1;       // in this process's pid namespace; 0 when not visible
    std::string user;    // login name of uid, or the number as text
    std::string detail;  // why not known, when !known
};

// The credentials of the peer of the connected socket `fd` (SO_PEERCRED).
NameOwner peer_of(int fd);

// The holder of `name`: the listener's credentials when it listens, else the
// process whose open file is the bound socket (found through /proc, which
// shows only what this user may see).
NameOwner owner_of(const std::string& name);

// "<user> (uid <uid>), pid <pid>", or "an unknown process (<detail>)".
std::string describe(const NameOwner& owner);

// The login name of `uid`, or the number as text.
std::string user_name(long uid);

// Every abstract name bound in this network namespace that starts with
// `prefix`, from /proc/net/unix. False, with *why, when it cannot be read.
bool abstract_names(const std::string& prefix, std::vector<std::string>* names, std::string* why);

}  // namespace platform
