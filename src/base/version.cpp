#include "base/version.h"

namespace qrx {

// QRX_VERSION is given to this file alone, so that a new version rebuilds it
// and nothing else.
const char* serverVersion() {
    return QRX_VERSION;
}

}  // namespace qrx
