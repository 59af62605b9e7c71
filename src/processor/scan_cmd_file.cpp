#include "processor/scan_cmd_file.h"

namespace qrx {

ScanCmdFile::ScanCmdFile(Platform& platform, const std::string& path)
    : file_(platform.openExclusive(path)) {
    if (file_ && !file_->readByte(&first_)) first_ = 0;
}

void ScanCmdFile::rewrite(const std::string& bytes) {
    if (file_) file_->rewrite(bytes.data(), bytes.size());
}

}  // namespace qrx
