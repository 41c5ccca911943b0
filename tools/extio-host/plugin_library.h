// A plug-in library loaded the way an SDR host loads it: by path through the platform's dynamic
// loader, then every entry point looked up by name. Missing optional names are tolerated;
// missing mandatory ones make the library unusable.
#pragma once

#include <string>
#include <vector>

#include "plugin/ExtIO_KMV410B211.h"

namespace extio_host {

// The entry points as function pointers, with the calling convention of the exports.
struct EntryPoints {
  decltype(&::InitHW) InitHW = nullptr;
  decltype(&::OpenHW) OpenHW = nullptr;
  decltype(&::StartHW) StartHW = nullptr;
  decltype(&::StartHW64) StartHW64 = nullptr;
  decltype(&::StopHW) StopHW = nullptr;
  decltype(&::CloseHW) CloseHW = nullptr;
  decltype(&::SetHWLO) SetHWLO = nullptr;
  decltype(&::SetHWLO64) SetHWLO64 = nullptr;
  decltype(&::GetHWLO) GetHWLO = nullptr;
  decltype(&::GetHWLO64) GetHWLO64 = nullptr;
  decltype(&::GetHWSR) GetHWSR = nullptr;
  decltype(&::GetStatus) GetStatus = nullptr;
  decltype(&::TuneChanged) TuneChanged = nullptr;
  decltype(&::SetCallback) SetCallback = nullptr;
  decltype(&::ShowGUI) ShowGUI = nullptr;
  decltype(&::HideGUI) HideGUI = nullptr;
  decltype(&::VersionInfo) VersionInfo = nullptr;
  decltype(&::ExtIoSDRInfo) ExtIoSDRInfo = nullptr;
  decltype(&::GetAttenuators) GetAttenuators = nullptr;
  decltype(&::GetActualAttIdx) GetActualAttIdx = nullptr;
  decltype(&::SetAttenuators) SetAttenuators = nullptr;
  // Extensions, used only when present.
  decltype(&::ExtIoGetSrates) ExtIoGetSrates = nullptr;
  decltype(&::ExtIoGetActualSrateIdx) ExtIoGetActualSrateIdx = nullptr;
  decltype(&::ExtIoSetSrate) ExtIoSetSrate = nullptr;
  decltype(&::ExtIoGetBandwidth) ExtIoGetBandwidth = nullptr;
  decltype(&::ExtIoGetFreqRanges) ExtIoGetFreqRanges = nullptr;
};

// Without these a host cannot drive a receiver at all.
inline constexpr const char* kMandatoryNames[] = {"InitHW",  "OpenHW",  "StartHW",   "StopHW",
                                                  "CloseHW", "SetHWLO", "GetStatus", "SetCallback"};

bool is_mandatory(const std::string& name);

class PluginLibrary {
 public:
  PluginLibrary() = default;
  ~PluginLibrary();
  PluginLibrary(const PluginLibrary&) = delete;
  PluginLibrary& operator=(const PluginLibrary&) = delete;

  // Load the library and look up the 21 names and the extensions. False when the loader fails
  // (error() says why); a library that loads but lacks names still returns true: see
  // missing_mandatory().
  bool load(const std::string& path);
  // Unload (also done by the destructor).
  void unload();

  bool loaded() const { return handle_ != nullptr; }
  const std::string& error() const { return error_; }
  const EntryPoints& entry() const { return entry_; }
  // Names not found, in the interface's order.
  const std::vector<std::string>& missing_mandatory() const { return missing_mandatory_; }
  const std::vector<std::string>& missing_optional() const { return missing_optional_; }
  const std::vector<std::string>& missing_extensions() const { return missing_extensions_; }
  bool usable() const { return loaded() && missing_mandatory_.empty(); }

 private:
  void* symbol(const char* name) const;

  void* handle_ = nullptr;
  std::string error_;
  EntryPoints entry_;
  std::vector<std::string> missing_mandatory_;
  std::vector<std::string> missing_optional_;
  std::vector<std::string> missing_extensions_;
};

// The plug-in that ships beside this program: libExtIO_KMV410B211.so (ExtIO_KMV410B211.dll on
// Windows) in the executable's folder.
std::string default_plugin_path();

}  // namespace extio_host
