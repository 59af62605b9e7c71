// The card record export: one queued card request becomes three files in the
// result folder of its command letter: a "SCAN_INFO" XML record (declared
// gb2312, CR LF line ends) and the card and head images decoded from base64.
// The three are written whole or not at all: the images first, then the
// record under a name desktop programs pass over (".xml.part"), renamed to
// its own name once complete, each file flushed to the disk first; on any
// failure what was written is removed.
// exportRecord is the entry (CProcessor::exportScanInfo calls it); the pieces
// below are its steps.
#pragma once

#include <json/value.h>

#include <string>
#include <vector>

#include "platform/platform.h"

class TiXmlElement;

namespace qrx {

// The three files of one export.
struct RecordFiles {
    std::string record;         // folder + stamp + ".xml"
    std::string cardImage;      // folder + stamp + ".jpg"
    std::string headImage;      // folder + stamp + "_head.jpg"
    std::string partialRecord;  // folder + stamp + ".xml.part", until it is complete
};

// How a record's name ends until it is complete.
constexpr const char kPartialEnding[] = ".xml.part";

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

// The files of the first stamp, from the local time on, for which none of
// the three exists yet in folder, so no export replaces an earlier one.
RecordFiles freeRecordFiles(Platform& platform, const std::string& folder);

// Builds the record of request in the C-command layout (isC) or the other
// one, writes the two images and saves the record. A member that cannot be
// read as text stops the filling: the failure is logged and what was
// appended so far is saved. False, with *failure set, when a file could not
// be written whole; the caller removes what was written.
bool writeXmlFile(const RecordFiles& files, Platform& platform, const Json::Value& request,
                  bool isC, std::string* failure);

// Appends <name>text</name> as the last child of parent.
void addTextElement(TiXmlElement* parent, const char* name, const std::string& text);

// Creates the file path with the bytes decoded from text; an empty or
// undecodable text gives an empty file. False, with *failure set, when the
// file cannot be written whole.
bool writeBase64File(Platform& platform, const std::string& path, const std::string& text,
                     std::string* failure);

// "DOE JANE" -> " JANE DOE"; "DOE,JANE" -> "DOE JANE"; otherwise unchanged.
std::string rearrangeEnglishName(const std::string& name);

}  // namespace qrx
