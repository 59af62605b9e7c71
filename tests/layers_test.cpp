// The folders of src/ form the layers that docs/development.md draws: a
// folder includes only folders below it in the picture. Read from the tree
// and the document as they stand, so a new include that runs up a layer, a
// folder the picture does not show, or a picture that names a folder gone,
// each fails here with the file that does it.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"

namespace qrx {
namespace {

namespace fs = std::filesystem;

const fs::path kSource = QRX_SOURCE_DIR;
constexpr char kMarker[] = "<!-- layers of src/";

// The folders of the picture, top first: the first word of each line of the
// fenced block that follows the marker (an indented line goes on the one
// above).
std::vector<std::string> drawnLayers(const std::string& document) {
    std::vector<std::string> layers;
    std::istringstream lines(document.substr(document.find(kMarker)));
    std::string line;
    bool inBlock = false;
    while (std::getline(lines, line)) {
        if (line.rfind("```", 0) == 0) {
            if (inBlock) break;
            inBlock = true;
        } else if (inBlock && !line.empty() && line[0] != ' ') {
            layers.push_back(line.substr(0, line.find(' ')));
        }
    }
    return layers;
}

// Each "#include "folder/..."" of the files under src/folder, as
// "file: folder/name".
std::vector<std::pair<std::string, std::string>> includesOf(const fs::path& folder) {
    static const std::regex kInclude(R"re(^\s*#\s*include\s+"([^/"]+)/([^"]+)")re");
    std::vector<std::pair<std::string, std::string>> found;
    for (const auto& entry : fs::directory_iterator(folder)) {
        std::ifstream in(entry.path());
        std::string line;
        std::smatch match;
        while (std::getline(in, line)) {
            if (std::regex_search(line, match, kInclude))
                found.emplace_back(
                    entry.path().filename().string() + ": " + match[1].str() + "/" + match[2].str(),
                    match[1].str());
        }
    }
    return found;
}

TEST(LayersTest, EachFolderOfSrcIncludesOnlyTheFoldersDrawnBelowIt) {
    const std::string document = test::readFile((kSource / "docs/development.md").string());
    ASSERT_NE(document.find(kMarker), std::string::npos) << "no picture of the layers";
    const std::vector<std::string> layers = drawnLayers(document);
    std::map<std::string, size_t> depth;  // 0 is the top
    for (size_t i = 0; i < layers.size(); ++i)
        EXPECT_TRUE(depth.emplace(layers[i], i).second) << layers[i] << " is drawn twice";

    size_t folders = 0;
    for (const auto& entry : fs::directory_iterator(kSource / "src")) {
        if (!entry.is_directory()) continue;
        ++folders;
        const std::string folder = entry.path().filename().string();
        ASSERT_EQ(depth.count(folder), 1u) << "src/" << folder << " is not in the picture";
        for (const auto& [where, target] : includesOf(entry.path())) {
            if (target == folder) continue;
            ASSERT_EQ(depth.count(target), 1u) << "src/" << folder << "/" << where;
            EXPECT_GT(depth[target], depth[folder])
                << "src/" << folder << "/" << where << " runs up or across the layers";
        }
    }
    EXPECT_EQ(folders, layers.size()) << "the picture names a folder that src/ does not have";
}

}  // namespace
}  // namespace qrx
