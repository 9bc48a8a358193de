#include "guitar/guitar_monitor.h"

#include "guitar/monitor.h"

void GuitarMonitorAttach(HWND hwnd, flutter::BinaryMessenger* messenger) {
  tonelark::Monitor::Instance().Attach(hwnd, messenger);
}

void GuitarMonitorDetach() { tonelark::Monitor::Instance().Detach(); }

bool GuitarMonitorHandleMessage(UINT message) {
  if (message != tonelark::kPcmReadyMessage) return false;
  tonelark::Monitor::Instance().DrainPcm();
  return true;
}
