// JsonCpp's own StyledWriter, which the styled writer's texts are held to
// (the tests and the fuzz target): for texts in ASCII the two agree byte for
// byte.
#pragma once

#include <json/writer.h>

#include <string>

namespace qrx::test {

inline std::string styledWriterText(const Json::Value& value) {
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
    Json::StyledWriter writer;
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
    return writer.write(value);
}

}  // namespace qrx::test
