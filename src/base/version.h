// The version of the server, the one in CMakeLists.txt's project().
#pragma once

namespace qrx {

const char* serverVersion();

}  // namespace qrx
