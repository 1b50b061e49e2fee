#include "session_table.h"

#include <cctype>
#include <chrono>
#include <utility>
#include <vector>

#include "transport.h"

namespace benchfw::visa {
namespace {

// One key per resource however its name was spelled: keywords and host
// are case-insensitive. (Different names for one host, such as a name and
// its address, still count as different resources.)
std::string lockKeyFor(const ResourceName& name) {
  std::string host;
  for (char c : name.host) host += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (name.kind == ResourceName::Kind::socket) {
    return "socket|" + host + "|" + std::to_string(name.port);
  }
  std::string device;
  for (char c : name.device) device += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return "instr|" + host + "|" + device;
}

ViStatus openTransport(const ResourceName& name, bool exclusive, ViUInt32 openTimeoutMs,
                       std::unique_ptr<Transport>* out) {
  switch (name.kind) {
    case ResourceName::Kind::socket:
      return openSocketTransport(name, openTimeoutMs, out);
    case ResourceName::Kind::vxi11:
      return openVxi11Transport(name, exclusive, openTimeoutMs, out);
    default:
      return VI_ERROR_RSRC_NFOUND;  // HiSLIP, GPIB, USB, serial...: not served here
  }
}

}  // namespace

// ---- ResourceLocks -----------------------------------------------------------

bool ResourceLocks::acquire(const std::string& key, ViUInt32 timeoutMs) {
  std::unique_lock lock(mutex_);
  auto isFree = [&] { return held_.count(key) == 0; };
  if (timeoutMs == VI_TMO_INFINITE) {
    released_.wait(lock, isFree);
  } else if (!released_.wait_for(lock, std::chrono::milliseconds(timeoutMs), isFree)) {
    return false;
  }
  held_.insert(key);
  return true;
}

void ResourceLocks::release(const std::string& key) {
  {
    std::lock_guard lock(mutex_);
    held_.erase(key);
  }
  released_.notify_all();
}

// ---- SessionTable ------------------------------------------------------------

SessionTable& SessionTable::instance() {
  // Never destroyed: another thread may still be inside a VISA call while
  // the process exits, and the kernel closes what is left.
  static SessionTable* table = new SessionTable;
  return *table;
}

ViSession SessionTable::insertLocked(Entry entry) {
  ViSession handle = next_;
  while (handle == VI_NULL || entries_.count(handle)) ++handle;
  next_ = handle + 1;
  entries_.emplace(handle, std::move(entry));
  return handle;
}

ViStatus SessionTable::openResourceManager(ViSession* rm) {
  if (!rm) return VI_ERROR_INV_PARAMETER;
  std::lock_guard lock(mutex_);
  *rm = insertLocked(Entry{});
  return VI_SUCCESS;
}

ViStatus SessionTable::open(ViSession rm, const char* text, ViAccessMode mode,
                            ViUInt32 openTimeoutMs, ViSession* vi) {
  if (!vi) return VI_ERROR_INV_PARAMETER;
  *vi = VI_NULL;
  {
    std::lock_guard lock(mutex_);
    auto it = entries_.find(rm);
    if (it == entries_.end()) return VI_ERROR_INV_OBJECT;
    if (it->second.session) return VI_ERROR_NSUP_OPER;
  }
  // Shared locks are not offered: nothing here would honour them.
  if (mode & ~(VI_EXCLUSIVE_LOCK | VI_LOAD_CONFIG)) return VI_ERROR_INV_ACC_MODE;
  ResourceName name;
  if (ViStatus st = parseResourceName(text, &name); st != VI_SUCCESS) return st;
  if (name.kind != ResourceName::Kind::socket && name.kind != ResourceName::Kind::vxi11) {
    return VI_ERROR_RSRC_NFOUND;
  }

  const bool exclusive = (mode & VI_EXCLUSIVE_LOCK) != 0;
  Entry entry;
  entry.parent = rm;
  if (exclusive) {
    // The open timeout bounds this wait only; the connect has its own bound.
    if (!locks_.acquire(lockKeyFor(name), openTimeoutMs)) return VI_ERROR_RSRC_LOCKED;
    entry.lockKey = lockKeyFor(name);
  }
  std::unique_ptr<Transport> transport;
  ViStatus st = VI_ERROR_SYSTEM_ERROR;
  try {
    st = openTransport(name, exclusive, openTimeoutMs, &transport);
    if (st >= VI_SUCCESS) {
      entry.session = std::make_shared<Session>(std::move(transport), std::move(name),
                                                exclusive ? VI_EXCLUSIVE_LOCK : VI_NO_LOCK);
    }
  } catch (...) {
    if (!entry.lockKey.empty()) locks_.release(entry.lockKey);
    throw;
  }
  if (st < VI_SUCCESS) {
    if (!entry.lockKey.empty()) locks_.release(entry.lockKey);
    return st;
  }

  std::unique_lock lock(mutex_);
  if (!entries_.count(rm)) {
    // The resource manager was closed while this open was connecting.
    lock.unlock();
    closeEntry(entry);
    return VI_ERROR_INV_OBJECT;
  }
  *vi = insertLocked(std::move(entry));
  return st;
}

ViStatus SessionTable::closeEntry(Entry& entry) {
  ViStatus st = VI_SUCCESS;
  if (entry.session) {
    std::lock_guard io(entry.session->mutex());  // waits for a call in progress
    st = entry.session->close();
  }
  if (!entry.lockKey.empty()) locks_.release(entry.lockKey);
  return st;
}

ViStatus SessionTable::close(ViObject object) {
  if (object == VI_NULL) return VI_WARN_NULL_OBJECT;
  std::vector<Entry> closing;
  bool isManager = false;
  {
    std::lock_guard lock(mutex_);
    auto it = entries_.find(object);
    if (it == entries_.end()) return VI_ERROR_INV_OBJECT;
    isManager = !it->second.session;
    closing.push_back(std::move(it->second));
    entries_.erase(it);
    // A resource manager takes every session opened through it along.
    for (auto child = entries_.begin(); isManager && child != entries_.end();) {
      if (child->second.parent == object) {
        closing.push_back(std::move(child->second));
        child = entries_.erase(child);
      } else {
        ++child;
      }
    }
  }
  // Torn down outside the table lock: a session may first have to wait for
  // a call that another thread has in progress on it.
  ViStatus st = VI_SUCCESS;
  for (Entry& entry : closing) {
    ViStatus closed = closeEntry(entry);
    if (!isManager) st = closed;
  }
  return st;
}

std::shared_ptr<Session> SessionTable::find(ViObject object, ViStatus* status) {
  std::lock_guard lock(mutex_);
  auto it = entries_.find(object);
  if (it == entries_.end()) {
    *status = VI_ERROR_INV_OBJECT;
    return nullptr;
  }
  if (!it->second.session) {
    *status = VI_ERROR_NSUP_OPER;
    return nullptr;
  }
  *status = VI_SUCCESS;
  return it->second.session;
}

}  // namespace benchfw::visa
