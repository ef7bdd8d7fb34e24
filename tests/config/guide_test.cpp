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

    // Commented in Japanese in code page 932, what the ini functions read,
    // and without a byte-order mark, which they would take for part of the
    // first line.
    std::ifstream in(folder + "qvpush.ini", std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_FALSE(bytes.empty());
    EXPECT_NE(bytes.compare(0, 3, "\xEF\xBB\xBF"), 0) << "a byte-order mark";
    int wide = MultiByteToWideChar(932, MB_ERR_INVALID_CHARS, bytes.data(), static_cast<int>(bytes.size()), NULL, 0);
    EXPECT_GT(wide, 0) << "not valid in code page 932";
    EXPECT_NE(bytes.find("\x90\xDD\x92\xE8"), std::string::npos) << "no Japanese comment (\"設定\" in code page 932)";
}
