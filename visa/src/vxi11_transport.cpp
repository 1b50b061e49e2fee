// Placeholder until the VXI-11 client lands: no VXI-11 instrument can be
// reached yet, so every INSTR resource is reported as not present.
#include "transport.h"

namespace benchfw::visa {

ViStatus openVxi11Transport(const ResourceName&, bool, ViUInt32, std::unique_ptr<Transport>*) {
  return VI_ERROR_RSRC_NFOUND;
}

}  // namespace benchfw::visa
