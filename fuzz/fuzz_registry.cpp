// The registry-export reader of the POSIX stand-in.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/registry_export.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    qrx::RegistryValues values;
    bool opened = qrx::readRegistryExport(text, "HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvane", &values);
    if (!opened && !values.empty()) std::abort();
    return 0;
}
