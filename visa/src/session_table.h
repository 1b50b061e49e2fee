// The process's VISA objects: resource manager sessions, the instrument
// sessions opened through them, and the exclusive locks those hold.
// Handles are non-zero 32-bit values counted upwards, so a closed handle
// is not handed out again until the counter wraps (2^32 opens later) and a
// stale viClose cannot hit a newer session.
#ifndef BENCHFW_VISA_SESSION_TABLE_H
#define BENCHFW_VISA_SESSION_TABLE_H

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "session.h"
#include "visa.h"

namespace benchfw::visa {

// Exclusive locks between sessions of this process, keyed by resource.
// A raw socket offers nothing to lock between processes.
class ResourceLocks {
 public:
  // Waits up to `timeoutMs` for the resource; false if it stays locked.
  bool acquire(const std::string& key, ViUInt32 timeoutMs);
  void release(const std::string& key);

 private:
  std::mutex mutex_;
  std::condition_variable released_;
  std::set<std::string> held_;
};

class SessionTable {
 public:
  static SessionTable& instance();

  ViStatus openResourceManager(ViSession* rm);
  ViStatus open(ViSession rm, const char* name, ViAccessMode mode, ViUInt32 openTimeoutMs,
                ViSession* vi);
  ViStatus close(ViObject object);

  // The live instrument session behind a handle. *status says why not:
  // VI_ERROR_INV_OBJECT for a dead handle, VI_ERROR_NSUP_OPER for a
  // resource manager session.
  std::shared_ptr<Session> find(ViObject object, ViStatus* status);

 private:
  struct Entry {
    ViSession parent = VI_NULL;        // VI_NULL for a resource manager
    std::shared_ptr<Session> session;  // null for a resource manager
    std::string lockKey;               // non-empty while holding an exclusive lock
  };

  ViSession insertLocked(Entry entry);
  ViStatus closeEntry(Entry& entry);

  std::mutex mutex_;
  std::map<ViSession, Entry> entries_;
  ViSession next_ = 1;
  ResourceLocks locks_;
};

}  // namespace benchfw::visa

#endif
