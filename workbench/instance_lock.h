// The named locks that keep one recovery program and one carver running at a time (the carver
// includes this without the recovery programs' engine interface).
#pragma once

#include <string>

namespace ov::workbench {

// A named lock held for the life of a program: a lock file of that name with flock, in
// $XDG_RUNTIME_DIR or else in a private folder of the user's under the temporary folder.
class InstanceLock {
 public:
  enum class Result { Held, AlreadyHeld, Failed };
  explicit InstanceLock(const std::string& name);
  ~InstanceLock();
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

  Result acquire();
  // Whether another process holds the lock of that name now (without taking it).
  static bool heldElsewhere(const std::string& name);
  static std::string pathOf(const std::string& name);

 private:
  std::string path_;
  int fd_ = -1;
};

inline constexpr const char* kRecoveryProgramLock = "GlobalMutexOV-WIN";

}  // namespace ov::workbench
