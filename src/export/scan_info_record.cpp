#include "export/scan_info_record.h"

#include <tinyxml.h>

#include <algorithm>
#include <exception>
#include <vector>

#include "base/base64.h"
#include "export/record_printer.h"
#include "export/record_stamp.h"
#include "log/log.h"

namespace qrx {
namespace {

// How a record's name ends until it is complete.
constexpr const char kPartialEnding[] = ".xml.part";

// Appends <name>text</name> as the last child of parent.
void addTextElement(TiXmlElement* parent, const char* name, const std::string& text) {
    auto* element = new TiXmlElement(name);
    element->LinkEndChild(new TiXmlText(text));
    parent->LinkEndChild(element);
}

// Creates the file path with the bytes decoded from text; an empty or
// undecodable text gives an empty file. False, with *failure set, when the
// file cannot be written whole.
bool writeBase64File(Platform& platform, const std::string& path, const std::string& text,
                     std::string* failure) {
    int32_t length = 0;
    std::vector<uint8_t> bytes = base64Decode(text, &length);
    return platform.files().writeNewFile(path, reinterpret_cast<const char*>(bytes.data()),
                                         static_cast<size_t>(length), failure);
}

// An image the record names, written before the record itself: its file and
// the request member that holds it in base64.
struct RecordImage {
    const std::string& path;
    const char* member;
};

// Fills the children of "SCAN_INFO" from the request, in layout order, and
// gathers the images that the filled part names.
class RecordBuilder {
  public:
    RecordBuilder(TiXmlElement* root, const Json::Value& request, const RecordFiles& files,
                  std::vector<RecordImage>* images)
        : root_(root), request_(request), files_(files), images_(images) {}

    // Throws for a member that is an array or an object.
    std::string text(const char* member) const { return request_[member].asString(); }
    void add(const char* element, const char* member) { addText(element, text(member)); }
    void addText(const char* element, const std::string& value) {
        addTextElement(root_, element, value);
    }

    void cardLayout() {
        std::string name = text("name");
        if (!name.empty()) {
            addText("NAME", name);
        } else {
            add("CHINESE_NAME", "chinese_name");
            add("ENGLISH_NAME", "english_name");
        }
        add("SEX", "sex");
        if (request_["txz"].isString()) {
            for (const char* member : {"txz", "qfjg", "yxqq", "yxqz", "qfcs"})
                add(upper(member).c_str(), member);
        }
        for (const char* member :
             {"card_no", "nation", "birthday", "address", "number", "scantime"})
            add(upper(member).c_str(), member);
        imagesAndCardType();
    }

    void otherLayout() {
        add("CHINESE_NAME", "chinese_name");
        addText("ENGLISH_NAME", rearrangeEnglishName(text("english_name")));
        for (const char* member : {"sex", "card_no", "birthday", "scantime"})
            add(upper(member).c_str(), member);
        add("COUNTRY", "countrycode");
        imagesAndCardType();
    }

  private:
    static std::string upper(const char* member) {
        std::string name = member;
        for (char& c : name) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
        return name;
    }

    // The images' texts are only checked here: each is decoded when written.
    void imagesAndCardType() {
        for (const RecordImage& image : {RecordImage{files_.cardImage, "cardiamgedata"},
                                         RecordImage{files_.headImage, "headiamgedata"}}) {
            text(image.member);
            images_->push_back(image);
        }
        addText("CARDIMAGE", files_.cardImage);
        addText("HEADIMAGE", files_.headImage);
        add("CARDTYPE", "cardtype");
    }

    TiXmlElement* root_;
    const Json::Value& request_;
    const RecordFiles& files_;
    std::vector<RecordImage>* images_;
};

RecordFiles filesOf(const std::string& folder, const std::string& stamp) {
    return {folder + stamp + ".xml", folder + stamp + ".jpg", folder + stamp + "_head.jpg",
            folder + stamp + kPartialEnding};
}

// The files of the first stamp, from the local time on, for which none of
// the three exists yet in folder, so no export replaces an earlier one.
RecordFiles freeRecordFiles(Platform& platform, const std::string& folder) {
    LocalTime stamp = platform.clock().localTime();
    for (;;) {
        RecordFiles files = filesOf(folder, formatStamp(stamp));
        if (!platform.files().fileExists(files.record) &&
            !platform.files().fileExists(files.cardImage) &&
            !platform.files().fileExists(files.headImage))
            return files;
        stamp = nextSecond(stamp);
    }
}

// Builds the record of request in the C-command layout (isC) or the other
// one, writes the two images and saves the record. A member that cannot be
// read as text stops the filling: the failure is logged and what was
// appended so far is saved. False, with *failure set, when a file could not
// be written whole; the caller removes what was written.
bool writeXmlFile(const RecordFiles& files, Platform& platform, const Json::Value& request,
                  bool isC, std::string* failure) {
    TiXmlDocument document;
    document.LinkEndChild(new TiXmlDeclaration("1.0", "gb2312", ""));
    auto* root = new TiXmlElement("SCAN_INFO");
    document.LinkEndChild(root);
    std::vector<RecordImage> images;
    try {
        RecordBuilder builder(root, request, files, &images);
        if (isC)
            builder.cardLayout();
        else
            builder.otherLayout();
    } catch (const std::exception&) {
        logMessage(platform, LOG_LEVEL_ERROR, kProcessorLogSource, __LINE__,
                   "write xml file fail,parse val error!");
    }
    // The images are complete on disk before the record that names them, and
    // the record gets its name only once it is complete.
    for (const RecordImage& image : images) {
        if (!writeBase64File(platform, image.path, request[image.member].asString(), failure))
            return false;
    }
    // Not TinyXML's SaveFile or TiXmlPrinter: their line ends follow the
    // platform and their escaping the TinyXML build.
    const std::string record = printRecord(document);
    return platform.files().writeNewFile(files.partialRecord, record.data(), record.size(),
                                         failure) &&
           platform.files().moveFile(files.partialRecord, files.record, failure);
}

}  // namespace

bool exportRecord(Platform& platform, const std::string& folder, const Json::Value& request,
                  bool isC, RecordFiles* files, std::string* failure) {
    *files = freeRecordFiles(platform, folder);
    if (writeXmlFile(*files, platform, request, isC, failure)) return true;
    removeRecordFiles(platform, *files);
    return false;
}

std::vector<std::string> removeFiles(Platform& platform, const std::vector<std::string>& paths,
                                     std::string* standing) {
    std::vector<std::string> stand;
    for (const std::string& path : paths) {
        std::string why;
        if (platform.files().deleteFile(path, &why)) continue;
        stand.push_back(path);
        if (standing != nullptr)
            *standing += (standing->empty() ? "\"" : "; \"") + path + "\": " + why;
    }
    return stand;
}

std::vector<std::string> removeRecordFiles(Platform& platform, const RecordFiles& files,
                                           std::string* standing) {
    return removeFiles(
        platform, {files.cardImage, files.headImage, files.record, files.partialRecord}, standing);
}

void removePartialRecords(Platform& platform, const std::string& folder) {
    for (const std::string& name : platform.files().filesEndingIn(folder, kPartialEnding)) {
        // Only names this server gives: a stamp of 14 digits.
        const size_t stampLength = name.size() - (sizeof(kPartialEnding) - 1);
        if (stampLength == 14 && std::all_of(name.begin(), name.begin() + 14,
                                             [](char c) { return c >= '0' && c <= '9'; }))
            platform.files().deleteFile(folder + name);
    }
}

std::string rearrangeEnglishName(const std::string& name) {
    size_t space = name.find(' ');
    if (space != std::string::npos && space >= 1)
        return name.substr(space) + " " + name.substr(0, space);
    std::string result = name;
    size_t comma = result.find(',');
    if (comma != std::string::npos) result[comma] = ' ';
    return result;
}

}  // namespace qrx
