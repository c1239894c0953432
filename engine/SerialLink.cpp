// Serial ports and the link exchange. This is the engine without a serial link
// yet: no port is ever open, so the phone's server is never connected and viewer
// bytes are dropped. The serial link replaces this file.
#include "engine/Proxy.h"

namespace kivro {

void Proxy::OpenPorts() {}
void Proxy::ClosePorts() {}
bool Proxy::AnyPortOpen() const { return false; }

}  // namespace kivro
