#include "linked_plugin.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <cstdio>
#include <memory>

#include "control/Form1.h"
#include "lan/lan_state.h"
#include "platform/tasks.h"
#include "platform/ui.h"
#include "plugin/ExtIO_KMV410B211.h"
#include "session.h"

namespace extio_host {

void* simulator_symbol(const char* name) {
#if defined(_WIN32)
  return reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("FTD3XX.dll"), name));
#else
  return dlsym(RTLD_DEFAULT, name);
#endif
}

bool LanSide::load() {
  return find_simulator("KMVSIM_LanStart", Start) && find_simulator("KMVSIM_LanStop", Stop) &&
         find_simulator("KMVSIM_LanReset", Reset) &&
         find_simulator("KMVSIM_LanSetRealTime", SetRealTime) &&
         find_simulator("KMVSIM_LanGetState", GetState);
}

bool LanSide::listen_on_loopback(bool real_time) {
  Reset();
  SetRealTime(real_time ? 1 : 0);
  return Start("127.0.0.1", kLanTcpPort, kLanUdpPort) == 1;
}

uint64_t LanSide::frames_dropped() const {
  KMVSIM_LanState s{};
  s.size = sizeof(s);
  return GetState && GetState(&s) ? s.frames_dropped : 0;
}

void LanSide::report() const {
  KMVSIM_LanState s{};
  s.size = sizeof(s);
  if (!GetState || !GetState(&s)) return;
  std::printf("lan frames=%llu datagrams=%llu starts=%llu\n",
              static_cast<unsigned long long>(s.frames_sent),
              static_cast<unsigned long long>(s.datagrams_sent),
              static_cast<unsigned long long>(s.starts));
}

EntryPoints linked_entry_points() {
  EntryPoints e;
  e.InitHW = &::InitHW;
  e.OpenHW = &::OpenHW;
  e.StartHW = &::StartHW;
  e.StartHW64 = &::StartHW64;
  e.StopHW = &::StopHW;
  e.CloseHW = &::CloseHW;
  e.SetHWLO = &::SetHWLO;
  e.SetHWLO64 = &::SetHWLO64;
  e.GetHWLO = &::GetHWLO;
  e.GetHWLO64 = &::GetHWLO64;
  e.GetHWSR = &::GetHWSR;
  e.GetStatus = &::GetStatus;
  e.TuneChanged = &::TuneChanged;
  e.SetCallback = &::SetCallback;
  e.ShowGUI = &::ShowGUI;
  e.HideGUI = &::HideGUI;
  e.VersionInfo = &::VersionInfo;
  e.ExtIoSDRInfo = &::ExtIoSDRInfo;
  e.GetAttenuators = &::GetAttenuators;
  e.GetActualAttIdx = &::GetActualAttIdx;
  e.SetAttenuators = &::SetAttenuators;
  e.ExtIoGetSrates = &::ExtIoGetSrates;
  e.ExtIoGetActualSrateIdx = &::ExtIoGetActualSrateIdx;
  e.ExtIoSetSrate = &::ExtIoSetSrate;
  e.ExtIoGetBandwidth = &::ExtIoGetBandwidth;
  e.ExtIoGetFreqRanges = &::ExtIoGetFreqRanges;
  return e;
}

void write_loopback_settings() {
  ui::run_on_ui([] {
    auto panel = std::make_unique<TF_RDR1>();
    panel->E_IP->set_text("127.0.0.1");
    panel.reset();  // destroying the panel writes its settings file
  });
}

bool wait_for_link(bool lan, int ms) {
  bool up = false;
  long long end = tasks::now_ms() + ms;
  while (!up && tasks::now_ms() < end) {
    ui::run_on_ui([&] { up = F_RDR1 && (lan ? F_RDR1->CB_LAN : F_RDR1->CB_USB)->checked(); });
    if (!up) wait_pumping(20);
  }
  return up;
}

bool choose_udp() {
  bool ok = false;
  ui::run_on_ui([&] {
    if (!F_RDR1 || !F_RDR1->RB_UDP->enabled) return;
    F_RDR1->RB_UDP->set_checked(true);
    ok = F_RDR1->RB_UDP->checked();
  });
  return ok;
}

uint64_t lan_lost() {
  return lan::g_lan.lost.load();
}

}  // namespace extio_host
