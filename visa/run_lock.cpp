// STUB
#include "visa/run_lock.h"
namespace visa {
std::unique_ptr<RunLock> RunLock::try_acquire(const std::string&, const std::string&,
                                              RunLockResult* r, RunLockHolder*, std::string*) {
    *r = RunLockResult::granted;
    return std::unique_ptr<RunLock>(new RunLock);
}
RunLock::~RunLock() = default;
std::string run_lock_key(const std::string& resource, std::string*) {
    return "instrument:" + resource;
}
std::string run_lock_serial_key(const std::string& model, const std::string& serial) {
    return "serial:" + model + "/" + serial;
}
}  // namespace visa
