// The record export: any parsed request object becomes a record that TinyXML
// reads back, in both layouts, in a scratch result folder.
#include <tinyxml.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "export/scan_info_record.h"
#include "fuzz_support.h"
#include "jsontext/styled_json.h"
#include "platform/platform_posix.h"
#include "processor/processor.h"

using namespace qrx;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static PosixPlatform platform(fuzz::scratchFolder());
    static const std::string folder = fuzz::scratchFolder() + "/result/";
    static CProcessor processor(platform, [] {
        Settings settings;
        settings.scanResultDir = settings.scanResultJwDir = folder;
        return settings;
    }());
    std::filesystem::create_directories(folder);

    Json::Value request;
    if (!parseJson(std::string(reinterpret_cast<const char*>(data), size), &request) ||
        !request.isObject())
        return 0;
    for (bool isC : {true, false}) {
        TiXmlDocument record;
        RecordFiles files;
        std::string failure;
        if (!processor.exportScanInfo(request, isC, &files, &failure) ||
            !record.LoadFile(platform.files().hostPath(files.record).c_str()) ||
            record.RootElement() == nullptr || record.RootElement()->ValueStr() != "SCAN_INFO")
            std::abort();
    }
    std::filesystem::remove_all(folder);
    return 0;
}
