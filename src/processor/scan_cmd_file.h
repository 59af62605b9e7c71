// ScanCmdFile: one exclusive open of the command file, the one-byte exchange
// with the card-scanning application. Opening reads the first byte at once;
// the file is closed when the holder goes out of scope, on every path.
#pragma once

#include <memory>
#include <string>

#include "platform/platform.h"

namespace qrx {

class ScanCmdFile {
  public:
    // Opens path for reading and writing with no sharing, creating it empty
    // when it is missing. When the file is held by another process (or cannot
    // be opened) the holder is empty and first is 0.
    ScanCmdFile(Platform& platform, const std::string& path);

    // Whether the file was opened; when it was not, another program (the
    // card-scanning application) holds it at this moment.
    bool opened() const { return file_ != nullptr; }
    // The first byte of the file; 0 when it was empty or could not be opened.
    char first() const { return first_; }
    // Cuts the file to zero length and writes bytes from offset 0. False,
    // with *failure set when given, when the file was not opened or not
    // every byte was written.
    bool rewrite(const std::string& bytes, std::string* failure = nullptr);

  private:
    std::unique_ptr<ExclusiveFile> file_;
    char first_ = 0;
};

// The check of the command file at start. A "1" left in it is a command
// that an earlier run took and never answered: it is answered "5", so the
// scanning application does not wait for it forever, and true is returned.
// Any other content, or a file held by the desktop side, is left alone.
bool answerLeftoverCommand(Platform& platform, const std::string& path);

}  // namespace qrx
