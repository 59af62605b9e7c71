// What flushing costs a record. Exports records of a sample card (40 KB card
// image, 10 KB head image) into a scratch folder, in rounds that alternate
// between the platform's own writes (each file flushed to the disk before
// the record is renamed into place) and the same export with its files
// written by std::ofstream and not flushed. Prints the median time per
// record of each and their difference. Figures, not a test.
//
//   qrx-record-bench [FOLDER [RECORDS [ROUNDS]]]
//
// FOLDER must be on the disk to measure (not a tmpfs); default: a new
// folder "qrx-record-bench" in the working folder, removed at the end.
#include <json/value.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "export/scan_info_record.h"
#include "platform/platform.h"
#include "processor/processor.h"
// The bench runs on both builds; its unflushed files derive from the
// build's own.
#ifdef _WIN32
#include "platform/platform_win32.h"
#else
#include "platform/path_mapping.h"
#include "platform/platform_posix.h"
#endif

namespace {

using Clock = std::chrono::steady_clock;

#ifdef _WIN32
using BuildFiles = qrx::Win32Files;
#else
struct BuildFiles : qrx::PosixFiles {
    BuildFiles() : PosixFiles(qrx::posixPrefix()) {}
};
#endif

// The build's files with their record writes not flushed.
class UnflushedFiles : public BuildFiles {
  public:
    bool writeNewFile(const std::string& path, const char* data, size_t length,
                      std::string* failure) override {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(data, static_cast<std::streamsize>(length));
        out.close();
        if (out) return true;
        *failure = "write failed";
        return false;
    }
};

std::string base64Of(size_t bytes) {
    static const char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    for (size_t i = 0; i < bytes / 3 * 4; ++i) text.push_back(kAlphabet[(i * 7) % 64]);
    return text;
}

// Milliseconds per record over count exports; the files are removed after
// each export, outside the timing, so every export finds the folder alike.
double msPerRecord(qrx::Platform& platform, const std::string& folder, const Json::Value& request,
                   int count) {
    qrx::Settings settings;
    settings.scanResultDir = folder;
    qrx::CProcessor processor(platform, settings);
    double total = 0;
    for (int i = 0; i < count; ++i) {
        qrx::RecordFiles files;
        const Clock::time_point start = Clock::now();
        std::string failure;
        if (!processor.exportScanInfo(request, true, &files, &failure)) {
            std::fprintf(stderr, "cannot write a record into %s: %s\n", folder.c_str(),
                         failure.c_str());
            std::exit(1);
        }
        total += std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        qrx::removeRecordFiles(platform, files);
    }
    return total / count;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    const bool ownFolder = argc < 2;
    const fs::path folder =
        ownFolder ? fs::current_path() / "qrx-record-bench" : fs::absolute(argv[1]);
    const int records = argc > 2 ? std::max(1, std::atoi(argv[2])) : 100;
    const int rounds = argc > 3 ? std::max(1, std::atoi(argv[3])) : 5;
    fs::create_directories(folder);
    const std::string prefix = (folder / "").string();

    Json::Value request;
    request["name"] = "bench";
    request["cardtype"] = "ID";
    request["ScanCmd"] = "C";
    request["cardiamgedata"] = base64Of(40 * 1024);
    request["headiamgedata"] = base64Of(10 * 1024);

    qrx::Platform& flushed = qrx::Platform::Default();
    UnflushedFiles unflushedFiles;
    qrx::Platform unflushed(unflushedFiles, flushed.clock(), flushed.desktop(), flushed.network(),
                            flushed.process());
    std::vector<double> withFlush, withoutFlush;
    for (int round = 0; round < rounds; ++round) {
        withFlush.push_back(msPerRecord(flushed, prefix, request, records));
        withoutFlush.push_back(msPerRecord(unflushed, prefix, request, records));
    }
    const double a = median(withFlush), b = median(withoutFlush);
    std::printf("records of 50 KB (3 files) into %s, %d a round, %d rounds, medians:\n",
                prefix.c_str(), records, rounds);
    std::printf("  flushed:     %8.3f ms per record\n", a);
    std::printf("  not flushed: %8.3f ms per record\n", b);
    std::printf("  the flush:   %8.3f ms per record\n", a - b);
    if (ownFolder) fs::remove_all(folder);
    return 0;
}
