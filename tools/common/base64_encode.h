// Standard base64 (RFC 4648 alphabet, "=" padding, no line breaks), as card
// clients send their images.
#pragma once

#include <string>

namespace qrx {

std::string base64Encode(const std::string& bytes);

}  // namespace qrx
