// A stand-in plug-in exporting a subset of the host interface, to see how a host copes with
// names that are absent. STUB_MANDATORY_ONLY: exactly the names a host cannot do without;
// otherwise only InitHW and GetHWSR.
#include <cstring>

#include "plugin/ExtIO_KMV410B211.h"

EXTIO_EXPORT bool EXTIO_CALL InitHW(char* name, char* model, int32_t* type) {
  std::strcpy(name, "STUB");
  std::strcpy(model, "STUBMODEL");
  *type = 7;
  return true;
}

#if defined(STUB_MANDATORY_ONLY)
EXTIO_EXPORT bool EXTIO_CALL OpenHW() {
  return true;
}
EXTIO_EXPORT int32_t EXTIO_CALL StartHW(int32_t) {
  return -1;
}
EXTIO_EXPORT void EXTIO_CALL StopHW() {}
EXTIO_EXPORT void EXTIO_CALL CloseHW() {}
EXTIO_EXPORT int32_t EXTIO_CALL SetHWLO(int32_t) {
  return 0;
}
EXTIO_EXPORT int32_t EXTIO_CALL GetStatus() {
  return 0;
}
EXTIO_EXPORT void EXTIO_CALL SetCallback(ExtIOCallback) {}
#else
EXTIO_EXPORT int32_t EXTIO_CALL GetHWSR() {
  return 48000;
}
#endif
