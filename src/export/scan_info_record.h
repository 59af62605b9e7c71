// The card record export: one queued card request becomes three files in the
// result folder of its command letter: a "SCAN_INFO" XML record (declared
// gb2312, CR LF line ends) and the card and head images decoded from base64.
// The three are written whole or not at all: the images first, then the
// record under a name desktop programs pass over (".xml.part"), renamed to
// its own name once complete, each file flushed to the disk first; on any
// failure what was written is removed.
// exportRecord is the entry (CProcessor::exportScanInfo calls it).
#pragma once

#include <json/value.h>

#include <string>
#include <vector>

#include "platform/platform.h"

namespace qrx {

// The three files of one export.
struct RecordFiles {
    std::string record;         // folder + stamp + ".xml"
    std::string cardImage;      // folder + stamp + ".jpg"
    std::string headImage;      // folder + stamp + "_head.jpg"
    std::string partialRecord;  // folder + stamp + ".xml.part", until it is complete
};

// Writes request as a record with its two images into folder, which names
// the result folder of its kind (isC: the C-command layout); *files gets the
// names written. False, with *failure set to why and what was written
// removed, when the three files cannot all be written whole.
bool exportRecord(Platform& platform, const std::string& folder, const Json::Value& request,
                  bool isC, RecordFiles* files, std::string* failure);

// Deletes each of paths. Returns those that stand, and, when standing is
// given, names each there with why it could not be removed.
std::vector<std::string> removeFiles(Platform& platform, const std::vector<std::string>& paths,
                                     std::string* standing = nullptr);
// removeFiles of the three files and the partial record.
std::vector<std::string> removeRecordFiles(Platform& platform, const RecordFiles& files,
                                           std::string* standing = nullptr);

// Deletes the partial records of this server's naming (a stamp, then
// ".xml.part") that a crash left in folder.
void removePartialRecords(Platform& platform, const std::string& folder);

// "DOE JANE" -> " JANE DOE"; "DOE,JANE" -> "DOE JANE"; otherwise unchanged.
std::string rearrangeEnglishName(const std::string& name);

}  // namespace qrx
