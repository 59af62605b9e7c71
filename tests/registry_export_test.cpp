#include "platform/registry_export.h"

#include <gtest/gtest.h>

namespace qrx {
namespace {

const char kKey[] = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvane";

TEST(RegistryExport, ReadsTextValuesOfTheKeyWithEscapes) {
    const std::string text =
        "Windows Registry Editor Version 5.00\r\n"
        "\r\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other]\r\n"
        "\"ScanResult\"=\"wrong\"\r\n"
        "\r\n"
        "[hkey_local_machine\\software\\QUORVANE]\r\n"
        "\"ScanCmdPath\"=\"D:\\\\scan\\\\scancmd.scc\"\r\n"
        "\"ScanResult\"=\"say \\\"\xB2\xE2\\\"\"\r\n"
        "\"Count\"=dword:00000010\r\n"
        "\"Blob\"=hex:01,02\r\n";
    RegistryValues values;
    ASSERT_TRUE(readRegistryExport(text, kKey, &values));
    EXPECT_EQ(values["scancmdpath"], "D:\\scan\\scancmd.scc");
    EXPECT_EQ(values["scanresult"], "say \"\xB2\xE2\"");
    EXPECT_EQ(values.count("count"), 0u);
    EXPECT_EQ(values.count("blob"), 0u);
}

TEST(RegistryExport, AcceptsRegedit4AndKeepsLongValuesWhole) {
    const std::string longValue(300, 'x');
    RegistryValues values;
    ASSERT_TRUE(readRegistryExport(
        "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvane]\n\"ScanResult\"=\"" + longValue +
            "\"\n",
        kKey, &values));
    EXPECT_EQ(values["scanresult"], longValue);
}

TEST(RegistryExport, NoHeaderOrNoSectionMeansTheKeyCannotBeOpened) {
    RegistryValues values;
    EXPECT_FALSE(readRegistryExport("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvane]\n", kKey, &values));
    EXPECT_FALSE(readRegistryExport("REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvane\\Sub]\n",
                                    kKey, &values));
    EXPECT_FALSE(readRegistryExport("", kKey, &values));
    // An empty section still opens.
    EXPECT_TRUE(
        readRegistryExport("REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvane]\n", kKey, &values));
}

}  // namespace
}  // namespace qrx
