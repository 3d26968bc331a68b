// The library's entry routine: binds its run-time libraries when the
// process loads it and releases them when it is unloaded.
#include "binding.h"

#if defined(_WIN32)

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH) {
    kiv::svcquery::attach();
  } else if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
    // Only when the DLL is unloaded while the process goes on: at process
    // exit the other DLLs may already be gone, and the system takes back
    // everything anyway.
    kiv::svcquery::detach();
  }
  return TRUE;
}

#else

namespace {

__attribute__((constructor)) void on_process_attach() {
  kiv::svcquery::attach();
}

__attribute__((destructor)) void on_process_detach() {
  kiv::svcquery::detach();
}

}  // namespace

#endif
