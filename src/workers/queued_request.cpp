#include "workers/queued_request.h"

namespace qrx {

bool scanCmdText(const Json::Value& request, std::string* text) {
    if (!request.isObject()) return false;
    const Json::Value& scanCmd = request["ScanCmd"];
    if (scanCmd.isArray() || scanCmd.isObject()) return false;
    *text = scanCmd.asString();
    return true;
}

}  // namespace qrx
