// The library's entry routine: binds its run-time libraries when the
// process loads it and releases them when it is unloaded.
#include "binding.h"

namespace {

__attribute__((constructor)) void on_process_attach() {
  kiv::svcquery::attach();
}

__attribute__((destructor)) void on_process_detach() {
  kiv::svcquery::detach();
}

}  // namespace
