// Request text in, reply and queue out. "@CODE@" in the input stands for a
// code issued just before, so that submissions reach the queue.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz_support.h"
#include "jsontext/styled_json.h"
#include "platform/platform_posix.h"
#include "processor/processor.h"

using namespace qrx;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static PosixPlatform platform(fuzz::scratchFolder());
    static CProcessor processor(platform);
    processor.codeSet.clear();
    processor.cacheList.clear();

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
    for (const std::string& queued : processor.cacheList) {
        Json::Value record;
        if (!parseJson(queued, &record) || !record.isObject() || record["cardtype"].isNull())
            std::abort();
        if (processor.codeSet.count(code) != 0) std::abort();
    }
    return 0;
}
