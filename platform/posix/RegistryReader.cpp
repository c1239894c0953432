// Linux has no registry: port discovery reads sysfs there (ports/SysfsPorts.cpp).
#include "platform/RegistryReader.h"

namespace kivro::platform {

RegistryReader* MachineRegistry() {
    return nullptr;
}

}  // namespace kivro::platform
