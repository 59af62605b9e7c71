// The card record export: one queued card request becomes three files in the
// result folder of its command letter: a "SCAN_INFO" XML record (declared
// gb2312, CR LF line ends) and the card and head images decoded from base64.
// CProcessor::exportScanInfo is the entry; the pieces below are its steps.
#pragma once

#include <json/value.h>

#include <string>

#include "platform/platform.h"

class TiXmlElement;

namespace qrx {

class CProcessor;

// The three files of one export.
struct RecordFiles {
    std::string record;     // folder + stamp + ".xml"
    std::string cardImage;  // folder + stamp + ".jpg"
    std::string headImage;  // folder + stamp + "_head.jpg"
};

// The files of the first stamp, from the local time on, for which none of
// the three exists yet in folder, so no export replaces an earlier one.
RecordFiles freeRecordFiles(Platform& platform, const std::string& folder);

// Builds the record of request in the C-command layout (isC) or the other
// one, writes the two images and saves the record. A member that cannot be
// read as text stops the filling: the failure is logged and what was
// appended so far is saved.
void writeXmlFile(const RecordFiles& files, CProcessor& processor, const Json::Value& request,
                  bool isC);

// Appends <name>text</name> as the last child of parent.
void addTextElement(TiXmlElement* parent, const char* name, const std::string& text);

// Creates the file path with the bytes decoded from text; an empty or
// undecodable text gives an empty file. A file that cannot be created is
// passed over.
void writeBase64File(Platform& platform, const std::string& path, const std::string& text);

// "DOE JANE" -> " JANE DOE"; "DOE,JANE" -> "DOE JANE"; otherwise unchanged.
std::string rearrangeEnglishName(const std::string& name);

}  // namespace qrx
