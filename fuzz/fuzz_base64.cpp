// The image decoder: never more bytes than 3/4 of the text, always a zero
// byte after them, the submission check agreeing with it, and valid text
// decoding to what the encoder made of it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "base/base64.h"
#include "common/base64_encode.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    int32_t length = -1;
    std::vector<uint8_t> bytes = qrx::base64Decode(text, &length);
    if (length < 0 || static_cast<size_t>(length) > 3 * size / 4) std::abort();
    if (bytes.size() <= static_cast<size_t>(length) || bytes[length] != 0) std::abort();
    // The submission check says "decodes" exactly when the decoder does.
    if (qrx::isImageText(text) != (text.empty() || length > 0)) std::abort();
    // Bytes -> text -> the same bytes.
    std::string raw(reinterpret_cast<const char*>(data), size);
    int32_t roundLength = 0;
    std::vector<uint8_t> round = qrx::base64Decode(qrx::base64Encode(raw), &roundLength);
    if (std::string(round.begin(), round.begin() + roundLength) != raw) std::abort();
    return 0;
}
