// A host's plugin: it opens a store when it is loaded and closes it from its
// own load or unload notification, as a plugin's static C++ objects do.
// KX_TEST_PLUGIN=attach:STORE closes while loading, detach:STORE while
// unloading; either way 50 values are written first.
#include <cstdlib>
#include <string>

#include "kelmix.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace {

constexpr int kValues = 50;
KXHANDLE g_store = 0;
bool g_close_on_unload = false;

std::basic_string<KXCHAR> units(const std::string& ascii) { return {ascii.begin(), ascii.end()}; }

void loaded() {
  const char* setting = std::getenv("KX_TEST_PLUGIN");
  if (!setting) return;
  std::string s(setting);
  std::size_t colon = s.find(':');
  g_store = KXInit(units(s.substr(colon + 1)).c_str());
  for (int i = 0; i < kValues; ++i) KXValue(g_store, units("p" + std::to_string(i)).c_str(), i);
  if (s.compare(0, colon, "attach") == 0) {
    KXClose(g_store);
  } else {
    g_close_on_unload = true;
  }
}

void unloading() {
  if (g_close_on_unload) KXClose(g_store);
}

}  // namespace

#if defined(_WIN32)
BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) loaded();
  if (reason == DLL_PROCESS_DETACH) unloading();
  return TRUE;
}
#else
__attribute__((constructor)) void plugin_loaded() { loaded(); }
__attribute__((destructor)) void plugin_unloading() { unloading(); }
#endif
