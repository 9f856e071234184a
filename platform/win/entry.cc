// The DLL's entry point: hands loading and unloading to the library.
#include <windows.h>

#include "platform/platform.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      kx::on_library_load();
      break;
    case DLL_PROCESS_DETACH:
      // reserved is non-null when the process is exiting.
      kx::on_library_unload(reserved != nullptr);
      break;
    default:
      break;
  }
  return TRUE;
}
