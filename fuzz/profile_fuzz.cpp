// libFuzzer target: any dev.dat content. A written key must read back, and the bytes of the
// file before the changed line must survive.
#include "profile.h"

#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string content(reinterpret_cast<const char*>(data), size);
    ProfileLookup(content, "COM_SETTINGS", "Port");
    ParseProfileInteger(content);
    const std::string written = ProfileWrite(content, "LOG", "LogFileName", "COM.txt");
    const auto back = ProfileLookup(written, "LOG", "LogFileName");
    if (!back || *back != "COM.txt")
        __builtin_trap();
    return 0;
}
