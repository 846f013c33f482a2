// STUB (replaced by the locks branch at merge)
#pragma once
#include <memory>
#include <string>
namespace visa {
struct RunLockHolder {
    bool known = false;
    long uid = -1;
    long pid = -1;
    std::string user;
    std::string tool;
    std::string since;
};
enum class RunLockResult { granted, held, unavailable };
class RunLock {
public:
    static std::unique_ptr<RunLock> try_acquire(const std::string& key, const std::string& tool,
                                                RunLockResult* result, RunLockHolder* holder,
                                                std::string* why);
    ~RunLock();
    RunLock(const RunLock&) = delete;
    RunLock& operator=(const RunLock&) = delete;

private:
    RunLock() = default;
};
std::string run_lock_key(const std::string& resource, std::string* why);
std::string run_lock_serial_key(const std::string& model, const std::string& serial);
}  // namespace visa
