// The tests' view of CProcessor's working state: what a client or the
// desktop side cannot set up or see through the processor's own calls (the
// queue as it stands, the codes issued, a pending command and the workers'
// clocks, the settings it runs with). Only tests and fuzz targets use it.
#pragma once

#include <cstdint>
#include <set>
#include <string>

#include "processor/processor.h"

namespace qrx {

class CProcessorPeer {
  public:
    explicit CProcessorPeer(CProcessor& processor) : p_(processor) {}

    Settings& settings() { return p_.settings_; }
    CurveKeys& curveKeys() { return p_.curveKeys_; }
    RecordQueue& cacheList() { return p_.cacheList; }
    std::set<std::string>& codeSet() { return p_.codeSet; }
    std::string& pendingCmd() { return p_.pendingCmd; }
    int64_t& pendingSince() { return p_.pendingSince; }
    int64_t& waitStart() { return p_.waitStart; }
    const std::string& lastXmlPath() const { return p_.lastXmlPath; }
    std::string& owedCommand() { return p_.owedCommand_; }
    // The queued records the workers have read back (parsed).
    uint64_t recordsRead() const { return p_.recordsRead; }

  private:
    CProcessor& p_;
};

}  // namespace qrx
