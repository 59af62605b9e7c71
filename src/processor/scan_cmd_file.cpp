#include "processor/scan_cmd_file.h"

namespace qrx {

ScanCmdFile::ScanCmdFile(Platform& platform, const std::string& path)
    : file_(platform.files().openExclusive(path)) {
    if (file_ && !file_->readByte(&first_)) first_ = 0;
}

bool ScanCmdFile::rewrite(const std::string& bytes, std::string* failure) {
    std::string why = "it could not be opened";
    if (file_ && file_->rewrite(bytes.data(), bytes.size(), &why)) return true;
    if (failure != nullptr) *failure = why;
    return false;
}

bool answerLeftoverCommand(Platform& platform, const std::string& path) {
    ScanCmdFile file(platform, path);
    if (file.first() != '1') return false;
    file.rewrite("5");
    return true;
}

}  // namespace qrx
