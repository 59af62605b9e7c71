// Request text in, reply and queue out. "@CODE@" in the input stands for a
// code issued just before, so that submissions reach the queue. Every
// accepted submission must make a whole record: the export reads all of it,
// and the record holds no character that XML 1.0 forbids.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "export/scan_info_record.h"
#include "fuzz_support.h"
#include "jsontext/styled_json.h"
#include "platform/platform_posix.h"
#include "processor/processor.h"
#include "processor_peer.h"

using namespace qrx;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static PosixPlatform platform(fuzz::scratchFolder());
    static const std::string folder = fuzz::scratchFolder() + "/result/";
    Settings settings;
    settings.scanResultDir = settings.scanResultJwDir = folder;
    CProcessor processor(platform, settings);

    std::string request(reinterpret_cast<const char*>(data), size);
    Json::Value codeReply;
    processor.handleRequest("{\"type\":0}", codeReply);
    const std::string code = codeReply["code"].asString();
    for (size_t at = request.find("@CODE@"); at != std::string::npos;
         at = request.find("@CODE@", at + code.size()))
        request.replace(at, 6, code);

    Json::Value reply;
    processor.handleRequest(request, reply);
    // What the loop sends must be the styled text of an object or null.
    if (!reply.isNull() && !reply.isObject()) std::abort();
    Json::Value again;
    if (!parseJson(styledText(reply), &again)) std::abort();
    // A queued record reads back, names a card type, and spent its code.
    for (const QueuedRecord& queued : processor.queue()) {
        Json::Value record;
        if (!parseJson(queued.text, &record) || !record.isObject() || record["cardtype"].isNull())
            std::abort();
        // Its kind is the one its record names.
        if (queued.kind != kindOf(record["ScanCmd"].asString())) std::abort();
        if (CProcessorPeer(processor).codeSet().count(code) != 0) std::abort();
        std::filesystem::create_directories(folder);
        RecordFiles files;
        std::string failure;
        if (!processor.exportScanInfo(record, queued.kind == 'C', &files, &failure)) std::abort();
        std::ifstream file(platform.files().hostPath(files.record), std::ios::binary);
        const std::string xml{std::istreambuf_iterator<char>(file), {}};
        // Whole: the export read every member up to the last, the card type.
        if (xml.find("<CARDTYPE>") == std::string::npos || xml.size() < 14 ||
            xml.compare(xml.size() - 14, 14, "</SCAN_INFO>\r\n") != 0)
            std::abort();
        for (size_t at = xml.find("&#x"); at != std::string::npos; at = xml.find("&#x", at + 1)) {
            const std::string reference = xml.substr(at, 6);
            if (reference != "&#x09;" && reference != "&#x0A;" && reference != "&#x0D;")
                std::abort();
        }
        std::filesystem::remove_all(folder);
    }
    return 0;
}
