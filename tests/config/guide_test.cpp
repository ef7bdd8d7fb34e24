// The user guide's table of keys and the sample settings file that ships
// with the plug-in, checked against the key table LoadSettings reads.
#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "config/settings.h"

namespace {

// A file of the source tree, as Wine sees it: drive Z: is the Unix root.
std::string SourcePath(const std::string& relative)
{
    std::string path = std::string("Z:") + QVPUSH_SOURCE_DIR + "/" + relative;
    for (char& c : path)
        if (c == '/')
            c = '\\';
    return path;
}

std::vector<std::string> Cells(const std::string& row)
{
    std::vector<std::string> cells;
    std::stringstream in(row);
    std::string cell;
    std::getline(in, cell, '|'); // before the first bar
    while (std::getline(in, cell, '|')) {
        size_t first = cell.find_first_not_of(' ');
        size_t last = cell.find_last_not_of(' ');
        cells.push_back(first == std::string::npos ? "" : cell.substr(first, last - first + 1));
    }
    return cells;
}

struct GuideRow {
    std::string defaultText;
    std::string dialog;
};

// The rows of the guide's key table: "| `key` | meaning | default | range | dialog |".
std::map<std::string, GuideRow> GuideKeys()
{
    std::map<std::string, GuideRow> keys;
    std::ifstream in(SourcePath("docs/guide-ja.md"), std::ios::binary);
    EXPECT_TRUE(in.good()) << "cannot read " << SourcePath("docs/guide-ja.md");
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, 3, "| `") != 0)
            continue;
        std::vector<std::string> cells = Cells(line);
        if (cells.size() != 5)
            continue;
        std::string name = cells[0].substr(1, cells[0].find('`', 1) - 1);
        keys[name] = GuideRow{cells[2], cells[4]};
    }
    return keys;
}

} // namespace

TEST(UserGuide, KeyTableNamesEveryKeyWithItsDefaultAndWhetherTheDialogShowsIt)
{
    std::map<std::string, GuideRow> guide = GuideKeys();
    ASSERT_FALSE(guide.empty()) << "no key table found in the guide";
    for (size_t i = 0; i < kSettingsKeyCount; ++i) {
        const SettingsKey& key = kSettingsKeys[i];
        auto row = guide.find(key.name);
        if (row == guide.end()) {
            ADD_FAILURE() << key.name << " is missing from the guide's key table";
            continue;
        }
        if (!key.text)
            EXPECT_EQ(row->second.defaultText, std::to_string(key.defaultValue)) << key.name;
        EXPECT_EQ(row->second.dialog, key.inDialog ? u8"あり" : u8"なし") << key.name;
        guide.erase(row);
    }
    for (const auto& extra : guide)
        ADD_FAILURE() << extra.first << " is in the guide but no key LoadSettings reads";
}

TEST(UserGuide, SampleSettingsFileLoadsAsTheDefaults)
{
    std::string folder = SourcePath("package/");
    ASSERT_NE(GetFileAttributesA((folder + "qvpush.ini").c_str()), INVALID_FILE_ATTRIBUTES);
    Settings sample;
    LoadSettings(folder.c_str(), &sample);
    Settings defaults;
    LoadSettings(SourcePath("package/no such folder/").c_str(), &defaults);
    EXPECT_EQ(memcmp(&sample, &defaults, sizeof sample), 0);
    EXPECT_EQ(sample.port, 143);
    EXPECT_EQ(sample.recvAtConnected, 1);

    // ASCII only and without a byte-order mark, which Windows' own ini
    // reader may not skip.
    std::ifstream in(folder + "qvpush.ini", std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_FALSE(bytes.empty());
    for (unsigned char c : bytes)
        ASSERT_LT(c, 0x80) << "a byte beyond ASCII in the sample file";
}
