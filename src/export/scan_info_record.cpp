#include "export/scan_info_record.h"

#include <tinyxml.h>

#include <exception>

#include "export/base64.h"
#include "export/record_printer.h"
#include "export/record_stamp.h"
#include "log/log.h"
#include "processor/processor.h"

namespace qrx {
namespace {

// Fills the children of "SCAN_INFO" from the request, in layout order.
class RecordBuilder {
  public:
    RecordBuilder(Platform& platform, TiXmlElement* root, const Json::Value& request,
                  const RecordFiles& files)
        : platform_(platform), root_(root), request_(request), files_(files) {}

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

    // The images are complete on disk before the record that names them.
    void imagesAndCardType() {
        writeBase64File(platform_, files_.cardImage, text("cardiamgedata"));
        writeBase64File(platform_, files_.headImage, text("headiamgedata"));
        addText("CARDIMAGE", files_.cardImage);
        addText("HEADIMAGE", files_.headImage);
        add("CARDTYPE", "cardtype");
    }

    Platform& platform_;
    TiXmlElement* root_;
    const Json::Value& request_;
    const RecordFiles& files_;
};

RecordFiles filesOf(const std::string& folder, const std::string& stamp) {
    return {folder + stamp + ".xml", folder + stamp + ".jpg", folder + stamp + "_head.jpg"};
}

}  // namespace

bool CProcessor::exportScanInfo(const Json::Value& request, bool isC) {
    RecordFiles files = freeRecordFiles(platform_, isC ? scanResultDir : scanResultJwDir);
    writeXmlFile(files, *this, request, isC);
    lastXmlPath = files.record;  // even when nothing could be written
    return true;
}

RecordFiles freeRecordFiles(Platform& platform, const std::string& folder) {
    LocalTime stamp = platform.localTime();
    for (;;) {
        RecordFiles files = filesOf(folder, formatStamp(stamp));
        if (!platform.fileExists(files.record) && !platform.fileExists(files.cardImage) &&
            !platform.fileExists(files.headImage))
            return files;
        stamp = nextSecond(stamp);
    }
}

void writeXmlFile(const RecordFiles& files, CProcessor& processor, const Json::Value& request,
                  bool isC) {
    TiXmlDocument document;
    document.LinkEndChild(new TiXmlDeclaration("1.0", "gb2312", ""));
    auto* root = new TiXmlElement("SCAN_INFO");
    document.LinkEndChild(root);
    try {
        RecordBuilder builder(processor.platform(), root, request, files);
        if (isC)
            builder.cardLayout();
        else
            builder.otherLayout();
    } catch (const std::exception&) {
        processor.PROCESSOR_LOG(LOG_LEVEL_ERROR, "write xml file fail,parse val error!");
    }
    // Not TinyXML's SaveFile or TiXmlPrinter: their line ends follow the
    // platform and their escaping the TinyXML build.
    const std::string record = printRecord(document);
    processor.platform().writeNewFile(files.record, record.data(), record.size());
}

void addTextElement(TiXmlElement* parent, const char* name, const std::string& text) {
    auto* element = new TiXmlElement(name);
    element->LinkEndChild(new TiXmlText(text));
    parent->LinkEndChild(element);
}

void writeBase64File(Platform& platform, const std::string& path, const std::string& text) {
    int32_t length = 0;
    std::vector<uint8_t> bytes = base64Decode(text, &length);
    platform.writeNewFile(path, reinterpret_cast<const char*>(bytes.data()),
                          static_cast<size_t>(length));
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
