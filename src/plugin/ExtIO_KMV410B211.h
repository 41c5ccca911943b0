// The 21 entry points of the ExtIO host interface, as a host sees them, and the optional
// extensions that hosts such as HDSDR use when present.
//
// bool is one byte, "long" of the interface is a 32-bit signed integer on every platform and
// 64-bit values are signed. 32-bit Windows uses __stdcall with undecorated export names (the
// .def file); the host callback uses the C calling convention.
#pragma once

#include <cstdint>

#if defined(_WIN32) && !defined(_WIN64)
#define EXTIO_CALL __stdcall
#else
#define EXTIO_CALL
#endif

#if defined(_WIN32)
#define EXTIO_EXPORT extern "C"
#else
#define EXTIO_EXPORT extern "C" __attribute__((visibility("default")))
#endif

using ExtIOCallback = void (*)(int32_t count, int32_t status, float iq_offset, void* iq_data);

EXTIO_EXPORT bool EXTIO_CALL InitHW(char* name, char* model, int32_t* type);
EXTIO_EXPORT bool EXTIO_CALL OpenHW();
EXTIO_EXPORT int32_t EXTIO_CALL StartHW(int32_t lo_freq);
EXTIO_EXPORT int32_t EXTIO_CALL StartHW64(int64_t lo_freq);
EXTIO_EXPORT void EXTIO_CALL StopHW();
EXTIO_EXPORT void EXTIO_CALL CloseHW();
EXTIO_EXPORT int32_t EXTIO_CALL SetHWLO(int32_t lo_freq);
EXTIO_EXPORT int64_t EXTIO_CALL SetHWLO64(int64_t lo_freq);
EXTIO_EXPORT int32_t EXTIO_CALL GetHWLO();
EXTIO_EXPORT int64_t EXTIO_CALL GetHWLO64();
EXTIO_EXPORT int32_t EXTIO_CALL GetHWSR();
EXTIO_EXPORT int32_t EXTIO_CALL GetStatus();
EXTIO_EXPORT void EXTIO_CALL TuneChanged(int32_t freq);
EXTIO_EXPORT void EXTIO_CALL SetCallback(ExtIOCallback callback);
EXTIO_EXPORT void EXTIO_CALL ShowGUI();
EXTIO_EXPORT void EXTIO_CALL HideGUI();
EXTIO_EXPORT void EXTIO_CALL VersionInfo(const char* progname, int32_t ver_major,
                                         int32_t ver_minor);
EXTIO_EXPORT void EXTIO_CALL ExtIoSDRInfo(int32_t info_type, int32_t value, void* ptr);
EXTIO_EXPORT int32_t EXTIO_CALL GetAttenuators(int32_t index, float* attenuation);
EXTIO_EXPORT int32_t EXTIO_CALL GetActualAttIdx();
EXTIO_EXPORT int32_t EXTIO_CALL SetAttenuators(int32_t index);

// Extensions: the sample rates a host may offer (one per decimation item of the reported
// stream), picking one, its usable bandwidth, and the LO range. -1 for bad input.
EXTIO_EXPORT int32_t EXTIO_CALL ExtIoGetSrates(int32_t idx, double* samplerate);
EXTIO_EXPORT int32_t EXTIO_CALL ExtIoGetActualSrateIdx();
EXTIO_EXPORT int32_t EXTIO_CALL ExtIoSetSrate(int32_t idx);
EXTIO_EXPORT int32_t EXTIO_CALL ExtIoGetBandwidth(int32_t srate_idx);
EXTIO_EXPORT int32_t EXTIO_CALL ExtIoGetFreqRanges(int32_t idx, int32_t* freq_low,
                                                   int32_t* freq_high);

// Names a host looks up, in the order above. A host cannot work without InitHW, OpenHW, StartHW,
// StopHW, CloseHW, SetHWLO, GetStatus and SetCallback; the others are optional.
inline constexpr const char* kExtIONames[21] = {
    "InitHW",        "OpenHW",      "StartHW",      "StartHW64",      "StopHW",
    "CloseHW",       "SetHWLO",     "SetHWLO64",    "GetHWLO",        "GetHWLO64",
    "GetHWSR",       "GetStatus",   "TuneChanged",  "SetCallback",    "ShowGUI",
    "HideGUI",       "VersionInfo", "ExtIoSDRInfo", "GetAttenuators", "GetActualAttIdx",
    "SetAttenuators"};

// The extensions' names; a host uses each one only when it is exported.
inline constexpr const char* kExtIOExtensionNames[5] = {"ExtIoGetSrates", "ExtIoGetActualSrateIdx",
                                                        "ExtIoSetSrate", "ExtIoGetBandwidth",
                                                        "ExtIoGetFreqRanges"};
