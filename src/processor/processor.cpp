#include "processor/processor.h"

#include "export/scan_info_record.h"

namespace qrx {

bool CProcessor::exportScanInfo(const Json::Value& request, bool isC, RecordFiles* files,
                                std::string* failure) {
    return exportRecord(platform_, settings_.folderOf(isC), request, isC, files, failure);
}

}  // namespace qrx
