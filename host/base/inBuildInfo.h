// Build information of the libraries in the process: each library (a tool
// module in its initialisation) hands the host a record of what it is and
// how it was built, which the host lists in its about box and crash reports.
//
// Ownership: InBuildInfoUtil::registerInfo takes the record; the registry
// releases it when it is unregistered, or, for a record registered while a
// package initialises, when that package is finalised (so a module's record,
// whose code lives in the module, goes before the module is closed).
//
// Threading: the registry is guarded by a mutex.
#pragma once

#include <string>
#include <vector>

#include "base/rcPtr.h"

class InBuildInfo {
 public:
  virtual ~InBuildInfo() = default;
  virtual std::string getProductName() const = 0;
  // The key of the record ("libQxwarper2DQxtool").
  virtual std::string getLibraryName() const = 0;
  virtual int getMajorVersion() const = 0;
  virtual int getMinorVersion() const = 0;
  virtual std::string getVersionString() const = 0;      // "1.4"
  virtual std::string getLongVersionString() const = 0;  // "1.4.2 beta"
  virtual int getBuildNumber() const = 0;
  virtual std::string getBuildDate() const = 0;
  virtual std::string getBuildConfiguration() const = 0;  // "Release", "Debug"
};

class InBuildInfoUtil {
 public:
  // Takes ownership of `info`. A null record does nothing. A record whose
  // library name is empty or already registered is deleted and refused with
  // std::invalid_argument.
  static void registerInfo(InBuildInfo* info);
  // False when no record has that library name.
  static bool unregisterInfo(std::string const& libraryName);
  // Null when none. Holding a module's record past the module's unloading
  // is the holder's mistake.
  static RCShdPtr<const InBuildInfo> findInfo(std::string const& libraryName);
  // In registration order.
  static std::vector<RCShdPtr<const InBuildInfo>> getInfos();
  // One line per record: "libX 1.4.2 beta (build 42, Release, 2024-05-01), Product".
  static std::string describe();
};
